// Builds a multipart tree from the input (fields, parts, nesting, self-appends, changes after
// appending) and serialises it. Checks what must hold for any tree: the bytes end with the
// closing delimiter, a copy serialises alike, and stored copies ignore later changes.

#include <zrhttpmultipart.h>
#include <zrhttppart.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>

namespace {

const int maxDepth = 4; // with self-appends a tree grows up to 8x per level
const int maxChildren = 4;

QByteArray bytes(FuzzedDataProvider &input)
{
    const std::string s = input.ConsumeRandomLengthString(64);
    return QByteArray(s.data(), int(s.size()));
}

void fill(FuzzedDataProvider &input, ZRHttpBase &message)
{
    message.setContentType(ContentType(input.ConsumeIntegral<int>()));
    message.setStartLine(bytes(input));
    message.setBody(bytes(input));
    const int headers = input.ConsumeIntegralInRange(0, maxChildren);
    for (int i = 0; i < headers; ++i) {
        if (input.ConsumeBool())
            message.setHeader(KnownHeader(input.ConsumeIntegralInRange(-2, 16)), bytes(input));
        else
            message.setHeader(bytes(input), bytes(input));
    }
}

void check(bool condition)
{
    if (!condition)
        std::abort();
}

ZRHttpMultiPart build(FuzzedDataProvider &input, int depth)
{
    ZRHttpMultiPart multiPart;
    fill(input, multiPart);
    if (input.ConsumeBool())
        multiPart.setBoundary(QString::fromUtf8(bytes(input)));
    const int children = input.ConsumeIntegralInRange(0, maxChildren);
    for (int i = 0; i < children && input.remaining_bytes() > 0; ++i) {
        switch (input.ConsumeIntegralInRange(0, 2)) {
        case 0: {
            ZRHttpPart part;
            fill(input, part);
            multiPart.append(part);
            const QByteArray before = multiPart.toByteArray();
            fill(input, part);
            check(multiPart.toByteArray() == before);
            break;
        }
        case 1:
            if (depth < maxDepth)
                multiPart.append(build(input, depth + 1));
            break;
        default:
            multiPart.append(multiPart);
            break;
        }
    }
    return multiPart;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider input(data, size);
    const ZRHttpMultiPart multiPart = build(input, 0);
    const QByteArray out = multiPart.toByteArray();
    check(out.endsWith("--" + multiPart.boundary().toUtf8() + "--\n"));
    ZRHttpMultiPart copy(multiPart);
    check(copy.toByteArray() == out);
    copy = ZRHttpMultiPart();
    copy = multiPart;
    check(copy.toByteArray() == out);
    return 0;
}
