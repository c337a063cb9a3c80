// Serialisation throughput of parts and multiparts. Each case reports MB=<n>/s (10^6 bytes of
// output per second); the ranged cases also fit the time against the size, which shows
// whether serialisation stays linear as parts and nesting grow.

#include <zrhttpmultipart.h>
#include <zrhttppart.h>

#include <benchmark/benchmark.h>

namespace {

ZRHttpPart makePart(int bodySize)
{
    ZRHttpPart part;
    part.setHeader(HeaderContentType, "application/octet-stream");
    part.setHeader(HeaderContentDisposition, "attachment");
    part.setBody(QByteArray(bodySize, 'x'));
    return part;
}

template <typename Message>
void serialise(benchmark::State &state, const Message &message)
{
    qint64 bytes = 0;
    for (auto _ : state) {
        const QByteArray out = message.toByteArray();
        benchmark::DoNotOptimize(out.constData());
        bytes += out.size();
    }
    state.counters["MB"] = benchmark::Counter(double(bytes) / 1e6, benchmark::Counter::kIsRate);
    state.SetComplexityN(state.range(0));
}

void onePartLargeBody(benchmark::State &state)
{
    serialise(state, makePart(int(state.range(0))));
}

void manySmallParts(benchmark::State &state)
{
    ZRHttpMultiPart multiPart(MultipartFormData);
    const ZRHttpPart part = makePart(100);
    for (int i = 0; i < state.range(0); ++i)
        multiPart.append(part);
    serialise(state, multiPart);
}

// Each level holds one 100-byte part and the next level down.
void deepNesting(benchmark::State &state)
{
    const ZRHttpPart part = makePart(100);
    ZRHttpMultiPart nested(MultipartMixed);
    nested.append(part);
    for (int depth = 1; depth < state.range(0); ++depth) {
        ZRHttpMultiPart level(MultipartMixed);
        level.append(part);
        level.append(nested);
        nested = level;
    }
    serialise(state, nested);
}

} // namespace

BENCHMARK(onePartLargeBody)->Arg(1 << 20)->Unit(benchmark::kMicrosecond);
BENCHMARK(manySmallParts)
    ->RangeMultiplier(10)
    ->Range(1000, 100000)
    ->Complexity(benchmark::oN)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(deepNesting)
    ->RangeMultiplier(10)
    ->Range(10, 1000)
    ->Complexity(benchmark::oN)
    ->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
