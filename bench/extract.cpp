// fg-bench-extract: one installation of a cabinet, staging in WORK and the journaled move into
// DEST included, timed from outside by fg-measure like the cabextract it is compared with.
//
//   fg-bench-extract CABINET WORK DEST
//
// Prints "bench: members=N" and exits 0 when the installation succeeded.

#include "install/Installer.h"

#include <QString>
#include <cstdio>

int main(int argc, char *argv[])
{
    if (argc != 4) {
        std::fputs("usage: fg-bench-extract CABINET WORK DEST\n", stderr);
        return 2;
    }
    freshgate::Installer installer(
        QString::fromLocal8Bit(argv[2]),
        [](const freshgate::VersionRecord &) { return freshgate::Status(); });
    const freshgate::Result<freshgate::Installed> result = installer.install(
        {QString::fromLocal8Bit(argv[1]), QString::fromLocal8Bit(argv[3]), {}, {}, std::nullopt});
    if (!result) {
        std::fprintf(stderr, "installation failed: %s\n", qPrintable(result.message()));
        return 1;
    }
    std::printf("bench: members=%d\n", result->members);
    return 0;
}
