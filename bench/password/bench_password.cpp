// What a password hash costs here, at the default cost and one step either side: the time a
// login takes to check, and (by ln) what an attacker pays per guess. Read the medians
// (--benchmark_repetitions=5) beside the load average: other work on the machine shows.

#include <zrpassword.h>

#include <benchmark/benchmark.h>

namespace {

void hash(benchmark::State &state)
{
    const int logN = int(state.range(0));
    for (auto _ : state) {
        const QByteArray stored = ZRPassword::hash(QStringLiteral("correct horse battery"), logN);
        benchmark::DoNotOptimize(stored.constData());
    }
    state.counters["MiB"] = double(128 * 8 * (int64_t(1) << logN)) / (1 << 20);
}
BENCHMARK(hash)
    ->Arg(ZRPassword::DefaultLogN - 1)
    ->Arg(ZRPassword::DefaultLogN)
    ->Arg(ZRPassword::DefaultLogN + 1)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

} // namespace

BENCHMARK_MAIN();
