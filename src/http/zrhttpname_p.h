#ifndef ZRHTTPNAME_P_H
#define ZRHTTPNAME_P_H

#include <QByteArray>

#include <cstring>

// Header names, and the tokens of header values, are the same in any letter case (RFC 9110
// 5.1): ASCII letters compare without their case, every other byte as it is. The one compare
// of the library's for them.
inline bool zrSameName(const char *a, int aSize, const char *b, int bSize)
{
    if (aSize != bSize)
        return false;
    for (int i = 0; i < aSize; ++i) {
        char x = a[i];
        char y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = char(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = char(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

inline bool zrSameName(const QByteArray &a, const QByteArray &b)
{
    return zrSameName(a.constData(), a.size(), b.constData(), b.size());
}

inline bool zrSameName(const QByteArray &a, const char *b)
{
    return zrSameName(a.constData(), a.size(), b, int(std::strlen(b)));
}

// A byte of a token (RFC 9110 5.6.2): a name such as a method, a header's or a cookie's.
inline bool zrIsTokenChar(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')
        || (c != 0 && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

// What would end a line of a message early, or cut it short where C strings read it: CR, LF or
// NUL. The one rule for header values and an event's name and id.
inline bool zrSplitsLines(const QByteArray &text)
{
    for (const char c : text) {
        if (c == '\r' || c == '\n' || c == '\0')
            return true;
    }
    return false;
}

// ASCII white space, as QByteArray::simplified() and trimmed() see it.
inline bool zrIsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Whether a comma-separated header value holds the token: an element that, without the
// blanks around it, is the same name (RFC 9110 5.6.1).
inline bool zrListHas(const QByteArray &list, const char *token)
{
    const char *at = list.constData();
    const char *const end = at + list.size();
    const int size = int(std::strlen(token));
    for (;;) {
        const auto *comma = static_cast<const char *>(std::memchr(at, ',', size_t(end - at)));
        const char *elementEnd = comma ? comma : end;
        const char *first = at;
        while (first < elementEnd && zrIsBlank(*first))
            ++first;
        const char *last = elementEnd;
        while (last > first && zrIsBlank(last[-1]))
            --last;
        if (zrSameName(first, int(last - first), token, size))
            return true;
        if (!comma)
            return false;
        at = comma + 1;
    }
}

#endif // ZRHTTPNAME_P_H
