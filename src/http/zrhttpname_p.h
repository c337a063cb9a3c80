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

inline bool zrIsAlphanumeric(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// A byte of a token (RFC 9110 5.6.2), what methods, header names and cookie names are made of.
inline bool zrIsTokenChar(char c)
{
    return zrIsAlphanumeric(c) || (c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c));
}

// A control character as the message grammar sees it: none may appear in a request head but
// the tab inside a field value.
inline bool zrIsControl(char c)
{
    return (c >= 0 && c < ' ') || c == 0x7f;
}

// One field line of a head or a trailer section, without its CRLF: a token, a colon, and a
// value that is kept as sent less the spaces and tabs at either end (RFC 9110 5.5). False for
// anything else, a line starting with white space (obsolete folding) or with white space
// before the colon included, so that no line can be read two ways.
struct ZRFieldLine
{
    int nameSize = 0;
    int valueStart = 0;
    int valueEnd = 0;
};

inline bool zrReadFieldLine(const char *line, int size, ZRFieldLine *field)
{
    int i = 0;
    while (i < size && zrIsTokenChar(line[i]))
        ++i;
    if (i == 0 || i == size || line[i] != ':')
        return false;
    field->nameSize = i++;
    while (i < size && (line[i] == ' ' || line[i] == '\t'))
        ++i;
    field->valueStart = i;
    int end = i;
    for (; i < size; ++i) {
        const char c = line[i];
        if (zrIsControl(c) && c != '\t')
            return false;
        if (c != ' ' && c != '\t')
            end = i + 1;
    }
    field->valueEnd = end;
    return true;
}

// Calls visit(element, size) for each element of a comma-separated header value, without the
// blanks around it, empty ones skipped (RFC 9110 5.6.1), until a call returns false. Returns
// whether every call returned true.
template <typename Visit>
bool zrEachElement(const QByteArray &list, Visit visit)
{
    const char *at = list.constData();
    const char *const end = at + list.size();
    for (;;) {
        const auto *comma = static_cast<const char *>(std::memchr(at, ',', size_t(end - at)));
        const char *elementEnd = comma ? comma : end;
        const char *first = at;
        while (first < elementEnd && zrIsBlank(*first))
            ++first;
        const char *last = elementEnd;
        while (last > first && zrIsBlank(last[-1]))
            --last;
        if (last > first && !visit(first, int(last - first)))
            return false;
        if (!comma)
            return true;
        at = comma + 1;
    }
}

// Whether a comma-separated header value holds the token: an element that, without the
// blanks around it, is the same name.
inline bool zrListHas(const QByteArray &list, const char *token)
{
    const int size = int(std::strlen(token));
    return !zrEachElement(list, [token, size](const char *element, int elementSize) {
        return !zrSameName(element, elementSize, token, size);
    });
}

#endif // ZRHTTPNAME_P_H
