#ifndef ZRNET_TESTS_LISTENHOOK_H
#define ZRNET_TESTS_LISTENHOOK_H

// Puts a test's own code in place of listen() for the whole test program, the library's
// calls included: the program's definition comes before the C library's. Include it in one
// file per program.

#include <dlfcn.h>
#include <sys/socket.h>

#include <functional>

namespace listenhook {

// While set, listen() calls it instead of the system's.
inline std::function<int(int, int)> &hook()
{
    static std::function<int(int, int)> installed;
    return installed;
}

inline int systemListen(int socket, int backlog)
{
    using Listen = int (*)(int, int);
    static const auto next = reinterpret_cast<Listen>(::dlsym(RTLD_NEXT, "listen"));
    return next(socket, backlog);
}

// Installs a hook for the lifetime of this object.
struct Scoped
{
    explicit Scoped(std::function<int(int, int)> f) { hook() = std::move(f); }
    ~Scoped() { hook() = nullptr; }
};

} // namespace listenhook

extern "C" int listen(int socket, int backlog) noexcept
{
    const auto &hook = listenhook::hook();
    return hook ? hook(socket, backlog) : listenhook::systemListen(socket, backlog);
}

#endif // ZRNET_TESTS_LISTENHOOK_H
