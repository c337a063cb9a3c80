#ifndef ZRNET_FUZZ_FUZZCHECK_H
#define ZRNET_FUZZ_FUZZCHECK_H

// How a fuzz target reports a finding: one line saying what broke, then an abort, which both
// libFuzzer and the replay test take for a crash.

#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void failure(const char *what)
{
    std::fprintf(stderr, "finding: %s\n", what);
    std::abort();
}

inline void check(bool condition, const char *what)
{
    if (!condition)
        failure(what);
}

#endif // ZRNET_FUZZ_FUZZCHECK_H
