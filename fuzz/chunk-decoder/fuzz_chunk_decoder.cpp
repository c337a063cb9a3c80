// Feeds arbitrary bytes to the chunk decoder whole, byte by byte and in pieces cut where the
// data says, and checks every answer against a plain decoder of the whole input written from
// the grammar: sizes of any length are compared exactly, not in 64 bits.
#include "../common/fuzzcheck.h"
#include "../common/refusalstatus.h"
#include "zrhttpchunkdecoder_p.h"

#include <algorithm>
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

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
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
        // chunk-size line: under 4 KiB with its LF.
        const auto *lf = static_cast<const char *>(std::memchr(data + pos, '\n', size - pos));
        const size_t length = lf ? size_t(lf - data) - pos : size - pos;
        if (length >= size_t(Decoder::maxChunkLineSize))
            return failed(400);
        if (!lf)
            return answer;
        size_t end = pos + length;
        if (end > pos && data[end - 1] == '\r')
            --end;
        size_t digits = pos;
        while (digits < end && hexValue(data[digits]) >= 0)
            ++digits;
        size_t after = digits;
        while (after < end && (data[after] == ' ' || data[after] == '\t'))
            ++after;
        if (digits == pos || (after < end && data[after] != ';'))
            return failed(400);
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
        // CR LF or LF after the data.
        if (pos == size || (data[pos] == '\r' && pos + 1 == size))
            return answer;
        const size_t ending = data[pos] == '\r' ? 2 : 1;
        if (data[pos + ending - 1] != '\n')
            return failed(400);
        pos += ending;
    }
    // Trailer section: up to 8 KiB, LFs included, ended by a blank line.
    const size_t trailerStart = pos;
    for (;;) {
        const auto *lf = static_cast<const char *>(std::memchr(data + pos, '\n', size - pos));
        const size_t end = lf ? size_t(lf - data) : size;
        if (end - trailerStart >= size_t(Decoder::maxTrailerSize))
            return failed(431);
        if (!lf)
            return answer;
        bool blank = true;
        for (size_t i = pos; i < end; ++i)
            blank = blank && isBlank(data[i]);
        pos = end + 1;
        if (blank)
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
