#pragma once

#include <QByteArray>
#include <QMutex>
#include <QWaitCondition>
#include <cstddef>
#include <deque>
#include <filesystem>
#include <memory>
#include <system_error>

class QThread;

namespace freshgate {

// A folder held open, so files are made in it without their whole path looked up again each
// time (POSIX); on Windows only its path is kept. Not copyable.
class OpenFolder {
public:
    OpenFolder() = default;
    ~OpenFolder();
    OpenFolder(const OpenFolder &) = delete;
    OpenFolder &operator=(const OpenFolder &) = delete;

    // Opens path, or, where it is the folder already open, keeps that.
    [[nodiscard]] std::error_code open(const std::filesystem::path &path);

private:
    friend class NewFile;
    std::filesystem::path m_path;
#ifndef _WIN32
    int m_fd = -1;
#endif
};

// A file made anew by one plain system call each for its creation, its bytes and its close,
// without Qt's file classes: staging creates thousands of them. The creation fails when the
// name is taken, so a staged file never lands on another. Not copyable; closes on destruction.
class NewFile {
public:
    NewFile() = default;
    ~NewFile();
    NewFile(const NewFile &) = delete;
    NewFile &operator=(const NewFile &) = delete;

    [[nodiscard]] std::error_code create(const std::filesystem::path &path);
    // name: a file name without folders.
    [[nodiscard]] std::error_code create(const OpenFolder &folder,
                                         const std::filesystem::path &name);
    [[nodiscard]] std::error_code write(const char *bytes, std::size_t size);
    // Adds the permission to run it wherever reading it is allowed; where the file system
    // keeps no such permission, nothing.
    void markExecutable();
    [[nodiscard]] std::error_code close();

private:
#ifdef _WIN32
    void *m_handle = nullptr;
#else
    int m_fd = -1;
#endif
};

// Writes whole files on a thread of its own, so that making thousands of small files overlaps
// whatever produces their bytes. Files are written in the order they were put, in batches of
// all that were waiting; the first failure stops the writing and is kept, with the file it
// concerns. One producer thread calls put(), failure() and finish(); put() waits while more
// than a few MiB are pending.
class StagedWriter {
public:
    StagedWriter();
    ~StagedWriter(); // finishes
    StagedWriter(const StagedWriter &) = delete;
    StagedWriter &operator=(const StagedWriter &) = delete;

    void put(std::filesystem::path path, QByteArray bytes, bool executable);
    // Waits until everything put is written or the writing failed.
    [[nodiscard]] std::error_code finish();
    // The first failure so far, without waiting, and the file it concerns.
    [[nodiscard]] std::error_code failure() const;
    [[nodiscard]] std::filesystem::path failedFile() const;

private:
    struct Job {
        std::filesystem::path path;
        QByteArray bytes;
        bool executable = false;
    };
    void run();
    [[nodiscard]] static std::error_code write(OpenFolder &folder, const Job &job);

    mutable QMutex m_mutex;
    QWaitCondition m_changed;
    std::deque<Job> m_jobs;
    std::size_t m_pendingBytes = 0;
    bool m_closing = false;
    bool m_busy = false;        // a batch taken from m_jobs is being written
    bool m_writerWaits = false; // for jobs
    bool m_callerWaits = false; // in put() or finish()
    std::error_code m_failure;
    std::filesystem::path m_failedFile;
    std::unique_ptr<QThread> m_thread;
};

} // namespace freshgate
