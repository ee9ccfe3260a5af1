#pragma once

class QProcess;

namespace freshgate::test {

// Asks a process the tests started to end (SIGTERM, so it can clean up after
// itself), and kills it when it does not within timeoutMs. Returns at once for
// a process that is not running.
void stopProcess(QProcess &process, int timeoutMs);

} // namespace freshgate::test
