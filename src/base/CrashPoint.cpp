#include "base/CrashPoint.h"

#ifdef FRESHGATE_FAULT_INJECTION

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace freshgate {

void stepDone(const char *what)
{
    static const long limit = [] {
        const char *value = std::getenv("FRESHGATE_CRASH_AFTER_STEPS");
        return value ? std::strtol(value, nullptr, 10) : 0L;
    }();
    static long steps = 0;
    ++steps;
    if (limit > 0 && steps == limit) {
        std::fprintf(stderr, "crash point %ld: after %s\n", steps, what);
        _exit(86);
    }
}

} // namespace freshgate

#endif
