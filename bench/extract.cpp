// fg-bench-extract: one CabinetExtractor run, staging in WORK and the move into DEST included,
// timed from outside by fg-measure like the cabextract it is compared with.
//
//   fg-bench-extract CABINET WORK DEST
//
// Prints "bench: members=N" and exits 0 when the extraction succeeded.

#include "platform/CabinetExtractor.h"

#include <QString>
#include <cstdio>

int main(int argc, char *argv[])
{
    if (argc != 4) {
        std::fputs("usage: fg-bench-extract CABINET WORK DEST\n", stderr);
        return 2;
    }
    freshgate::CabinetExtractor extractor(QString::fromLocal8Bit(argv[2]));
    extractor.setCabinetFile(QString::fromLocal8Bit(argv[1]));
    const freshgate::ExtractResult result = extractor.extract(QString::fromLocal8Bit(argv[3]));
    if (!result.ok) {
        std::fprintf(stderr, "extraction failed: %s\n", qPrintable(result.error));
        return 1;
    }
    std::printf("bench: members=%d\n", result.members);
    return 0;
}
