#pragma once

namespace freshgate {

// Marks the end of one file-system step of an installation (a rename, a flush, a journal
// write, a version write, a retirement). Builds with FRESHGATE_FAULT_INJECTION stop the
// process dead (_exit, nothing flushed or cleaned up) after the Nth step when the environment
// names N in FRESHGATE_CRASH_AFTER_STEPS, so tests can show that every such moment is
// survivable. Other builds compile it to nothing.
#ifdef FRESHGATE_FAULT_INJECTION
void stepDone(const char *what);
#else
inline void stepDone(const char *) {}
#endif

} // namespace freshgate
