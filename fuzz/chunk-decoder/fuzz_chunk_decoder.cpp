// Feeds arbitrary bytes to the chunk decoder whole, byte by byte and in pieces cut where the
// data says, and checks every answer against a plain decoder of the whole input written from
// the grammar: sizes of any length are compared exactly, not in 64 bits.
#include "../common/fuzzcheck.h"
#include "../common/refusalstatus.h"
#include "zrhttpchunkdecoder_p.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

using Decoder = ZRHttpChunkDecoder;

struct Answer
{
    Decoder::Status status = Decoder::NeedMore;
    int httpStatus = 0;
    std::string body; // while NeedMore: what has been decoded so far
    size_t used = 0; // when Complete
};

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Whether the hex digits text[0, n) spell a number above limit, without any overflow: leading
// zeros are skipped, and a number of more than 16 significant digits is above any limit.
bool hexAbove(const char *text, size_t n, uint64_t limit, uint64_t *value)
{
    size_t i = 0;
    while (i < n && text[i] == '0')
        ++i;
    if (n - i > 16)
        return true;
    uint64_t number = 0;
    for (; i < n; ++i)
        number = number * 16 + uint64_t(hexValue(text[i]));
    *value = number;
    return number > limit;
}

bool isControl(char c)
{
    return (c >= 0 && c < ' ') || c == 0x7f;
}

// A trailer field line without its CR LF: a token, a colon, then no control character but tab.
bool isFieldLine(const char *line, size_t size)
{
    size_t i = 0;
    while (i < size
        && (isalnum(static_cast<unsigned char>(line[i]))
            || (line[i] != '\0' && std::strchr("!#$%&'*+-.^_`|~", line[i]))))
        ++i;
    if (i == 0 || i == size || line[i] != ':')
        return false;
    for (++i; i < size; ++i) {
        if (isControl(line[i]) && line[i] != '\t')
            return false;
    }
    return true;
}

Answer failed(int status)
{
    Answer answer;
    answer.status = Decoder::Failed;
    answer.httpStatus = status;
    return answer;
}

Answer reference(const char *data, size_t size, uint64_t maxBody)
{
    Answer answer;
    size_t pos = 0;
    for (;;) {
        // chunk-size line: under 4 KiB with its LF, ended by CR LF.
        const auto *lf = static_cast<const char *>(std::memchr(data + pos, '\n', size - pos));
        const size_t length = lf ? size_t(lf - data) - pos : size - pos;
        if (length >= size_t(Decoder::maxChunkLineSize))
            return failed(400);
        if (!lf)
            return answer;
        if (length == 0 || data[pos + length - 1] != '\r')
            return failed(400);
        const size_t end = pos + length - 1;
        size_t digits = pos;
        while (digits < end && hexValue(data[digits]) >= 0)
            ++digits;
        size_t after = digits;
        while (after < end && (data[after] == ' ' || data[after] == '\t'))
            ++after;
        if (digits == pos || (after < end && data[after] != ';'))
            return failed(400);
        for (size_t i = after; i < end; ++i) {
            if (isControl(data[i]) && data[i] != '\t')
                return failed(400);
        }
        uint64_t chunk = 0;
        if (hexAbove(data + pos, digits - pos, maxBody - answer.body.size(), &chunk))
            return failed(413);
        pos += length + 1;
        if (chunk == 0)
            break;
        if (size - pos < chunk) {
            answer.body.append(data + pos, size - pos);
            return answer;
        }
        answer.body.append(data + pos, chunk);
        pos += chunk;
        // CR LF after the data, and nothing else.
        if (pos == size)
            return answer;
        if (data[pos] != '\r')
            return failed(400);
        if (pos + 1 == size)
            return answer;
        if (data[pos + 1] != '\n')
            return failed(400);
        pos += 2;
    }
    // Trailer section: up to 8 KiB, LFs included, field lines ended by CR LF up to an empty one.
    const size_t trailerStart = pos;
    for (;;) {
        const auto *lf = static_cast<const char *>(std::memchr(data + pos, '\n', size - pos));
        const size_t end = lf ? size_t(lf - data) : size;
        if (end - trailerStart >= size_t(Decoder::maxTrailerSize))
            return failed(431);
        if (!lf)
            return answer;
        if (end == pos || data[end - 1] != '\r')
            return failed(400);
        const bool last = end - 1 == pos;
        if (!last && !isFieldLine(data + pos, end - 1 - pos))
            return failed(400);
        pos = end + 1;
        if (last)
            break;
    }
    answer.status = Decoder::Complete;
    answer.used = pos;
    return answer;
}

void checkSame(const Decoder &decoder, size_t used, size_t size, const Answer &expected)
{
    check(decoder.status() == expected.status, "status differs from the reference");
    check(decoder.httpStatus() == expected.httpStatus, "HTTP status differs from the reference");
    check(decoder.bytesUsed() == qint64(used), "bytes used not the sum of what feed() took");
    switch (decoder.status()) {
    case Decoder::NeedMore:
        check(used == size, "bytes left over while waiting for more");
        break;
    case Decoder::Complete:
        check(used == expected.used, "bytes used differ from the reference");
        break;
    case Decoder::Failed:
        check(refusalStatus(decoder.error(), 0) == decoder.httpStatus(), "status and error differ");
        check(decoder.body().isEmpty(), "body kept after a failure");
        return;
    }
    check(std::string(decoder.body().constData(), size_t(decoder.body().size())) == expected.body,
        "body differs from the reference");
}

// Feeds data in pieces that end at the given offsets, then the rest; feeding more after the
// answer must take nothing.
void feedInPieces(
    Decoder &decoder, const char *data, size_t size, const size_t *cuts, int count, size_t *used)
{
    size_t start = 0;
    for (int i = 0; i <= count; ++i) {
        const size_t end = i < count ? cuts[i] : size;
        *used += size_t(decoder.feed(data + start, int(end - start)));
        start = end;
    }
    if (decoder.status() != Decoder::NeedMore)
        check(decoder.feed("0\r\n\r\n", 5) == 0, "bytes taken after the answer");
}

} // namespace

// The first byte picks the maximum body size: below 0xc0 itself, so that small ones reach the
// limit; from 0xc0 a power of two up to 2^62, beyond the ceiling; 0xff a negative one. The rest
// is the body as it came.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 65536)
        return 0;
    qint64 maxBodySize = data[0] < 0xc0 ? qint64(data[0]) : qint64(1) << (data[0] - 0xc0);
    if (data[0] == 0xff)
        maxBodySize = -1;
    const uint64_t effectiveMax
        = uint64_t(qBound(qint64(0), maxBodySize, Decoder::bodySizeCeiling));
    const char *bytes = reinterpret_cast<const char *>(data + 1);
    const size_t length = size - 1;
    const Answer expected = reference(bytes, length, effectiveMax);

    Decoder whole(maxBodySize);
    size_t used = 0;
    feedInPieces(whole, bytes, length, nullptr, 0, &used);
    checkSame(whole, used, length, expected);

    Decoder byteByByte(maxBodySize);
    used = 0;
    for (size_t i = 0; i < length; ++i)
        used += size_t(byteByByte.feed(bytes + i, 1));
    checkSame(byteByByte, used, length, expected);

    // Cut points taken from the data itself, so every input is cut its own way.
    size_t cuts[3];
    for (int i = 0; i < 3; ++i)
        cuts[i] = length > 0 ? (data[(size_t(i) * 7919) % size] * 131u) % (length + 1) : 0;
    std::sort(cuts, cuts + 3);
    Decoder inPieces(maxBodySize);
    used = 0;
    feedInPieces(inPieces, bytes, length, cuts, 3, &used);
    checkSame(inPieces, used, length, expected);
    return 0;
}
