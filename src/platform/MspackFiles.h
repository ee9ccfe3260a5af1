#pragma once

#include "platform/StagedWriter.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <system_error>

struct mspack_system;

namespace freshgate {

// libmspack's file access through QFile. libmspack's own opens files with fopen(), which on
// Windows takes only names in the ANSI code page, so a product folder named outside it could
// not be read or written; through Qt every platform takes any name. File names given to
// libmspack with this system are UTF-8: make them with mspackFileName().
//
// The system is shared and stateless; any thread may use it. Returns nullptr when this build of
// libmspack was made for another size of file offsets, so it cannot be used at all.
[[nodiscard]] mspack_system *qtFileSystem();
[[nodiscard]] QByteArray mspackFileName(const QString &path);

// libmspack's file access for extracting into a staging folder: files are read as by
// qtFileSystem(); a file libmspack writes is kept in memory and handed whole to the writer when
// libmspack closes it, or, once it outgrows a few hundred KiB, made at once and written as its
// bytes come. Either way it is created anew (see NewFile). One extraction at a time, on one
// thread; the writer must outlive the decompressor made with system().
class StagingFiles {
public:
    explicit StagingFiles(StagedWriter &writer);
    ~StagingFiles();
    StagingFiles(const StagingFiles &) = delete;
    StagingFiles &operator=(const StagingFiles &) = delete;

    // nullptr where qtFileSystem() is.
    [[nodiscard]] mspack_system *system();
    // What the next file written is: its size as the cabinet states it (a hint) and whether
    // it is to be executable.
    void expect(std::uint64_t size, bool executable);
    // The bytes the file closed last received.
    [[nodiscard]] std::uint64_t lastWritten() const { return m_lastWritten; }
    // The first failure of a file written in place, and the file.
    [[nodiscard]] std::error_code failure() const { return m_failure; }
    [[nodiscard]] const std::filesystem::path &failedFile() const { return m_failedFile; }

private:
    friend struct StagingAccess;
    struct System;

    StagedWriter &m_writer;
    std::unique_ptr<System> m_system;
    std::uint64_t m_expected = 0;
    bool m_executable = false;
    std::uint64_t m_lastWritten = 0;
    std::error_code m_failure;
    std::filesystem::path m_failedFile;
};

} // namespace freshgate
