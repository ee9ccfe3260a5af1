#include "platform/StagedWriter.h"

#include <QMutexLocker>
#include <QThread>
#include <algorithm>
#include <cerrno>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace freshgate {

namespace {

// Enough for the writer to stay busy while the producer runs ahead, little enough not to count.
constexpr std::size_t kPendingBytes = std::size_t{8} * 1024 * 1024;

std::error_code lastError()
{
#ifdef _WIN32
    return {static_cast<int>(GetLastError()), std::system_category()};
#else
    return {errno, std::generic_category()};
#endif
}

} // namespace

NewFile::~NewFile()
{
    (void)close();
}

#ifdef _WIN32

OpenFolder::~OpenFolder() = default;

std::error_code OpenFolder::open(const std::filesystem::path &path)
{
    m_path = path;
    return {};
}

std::error_code NewFile::create(const OpenFolder &folder, const std::filesystem::path &name)
{
    return create(folder.m_path / name);
}

std::error_code NewFile::create(const std::filesystem::path &path)
{
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return lastError();
    }
    m_handle = handle;
    return {};
}

std::error_code NewFile::write(const char *bytes, std::size_t size)
{
    while (size > 0) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1U << 30));
        DWORD put = 0;
        if (!WriteFile(static_cast<HANDLE>(m_handle), bytes, chunk, &put, nullptr)) {
            return lastError();
        }
        bytes += put;
        size -= put;
    }
    return {};
}

void NewFile::markExecutable() {}

std::error_code NewFile::close()
{
    if (!m_handle) {
        return {};
    }
    const bool ok = CloseHandle(static_cast<HANDLE>(m_handle));
    m_handle = nullptr;
    return ok ? std::error_code() : lastError();
}

#else

OpenFolder::~OpenFolder()
{
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

std::error_code OpenFolder::open(const std::filesystem::path &path)
{
    if (m_fd >= 0 && path.native() == m_path.native()) {
        return {};
    }
    if (m_fd >= 0) {
        ::close(std::exchange(m_fd, -1));
    }
    m_fd = ::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (m_fd < 0) {
        return lastError();
    }
    m_path = path;
    return {};
}

std::error_code NewFile::create(const OpenFolder &folder, const std::filesystem::path &name)
{
    const int fd =
        ::openat(folder.m_fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        return lastError();
    }
    m_fd = fd;
    return {};
}

std::error_code NewFile::create(const std::filesystem::path &path)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        return lastError();
    }
    m_fd = fd;
    return {};
}

std::error_code NewFile::write(const char *bytes, std::size_t size)
{
    while (size > 0) {
        const ssize_t put = ::write(m_fd, bytes, size);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put < 0) {
            return lastError();
        }
        bytes += put;
        size -= static_cast<std::size_t>(put);
    }
    return {};
}

void NewFile::markExecutable()
{
    struct stat info {};
    if (::fstat(m_fd, &info) != 0) {
        return;
    }
    // Whoever may read it may run it; file systems without permissions refuse, and the file
    // works there all the same.
    const mode_t read = info.st_mode & (S_IRUSR | S_IRGRP | S_IROTH);
    (void)::fchmod(m_fd, (info.st_mode & 07777) | (read >> 2));
}

std::error_code NewFile::close()
{
    if (m_fd < 0) {
        return {};
    }
    const int fd = std::exchange(m_fd, -1);
    // After close() fails the descriptor is gone all the same; the bytes may not be.
    return ::close(fd) == 0 ? std::error_code() : lastError();
}

#endif

StagedWriter::StagedWriter() : m_thread(QThread::create([this] { run(); }))
{
    m_thread->start();
}

StagedWriter::~StagedWriter()
{
    (void)finish();
    {
        const QMutexLocker lock(&m_mutex);
        m_closing = true;
        m_changed.wakeAll();
    }
    m_thread->wait();
}

void StagedWriter::put(std::filesystem::path path, QByteArray bytes, bool executable)
{
    QMutexLocker lock(&m_mutex);
    while (m_pendingBytes > kPendingBytes && !m_failure) {
        m_callerWaits = true;
        m_changed.wait(&m_mutex);
    }
    if (m_failure) {
        return;
    }
    m_pendingBytes += static_cast<std::size_t>(bytes.size());
    m_jobs.push_back({std::move(path), std::move(bytes), executable});
    // Woken only from waiting for work: thousands of small files must not cost a thread
    // switch each.
    if (m_writerWaits) {
        m_writerWaits = false;
        m_changed.wakeAll();
    }
}

std::error_code StagedWriter::finish()
{
    QMutexLocker lock(&m_mutex);
    while ((!m_jobs.empty() || m_busy) && !m_failure) {
        m_callerWaits = true;
        m_changed.wait(&m_mutex);
    }
    return m_failure;
}

std::error_code StagedWriter::failure() const
{
    const QMutexLocker lock(&m_mutex);
    return m_failure;
}

std::filesystem::path StagedWriter::failedFile() const
{
    const QMutexLocker lock(&m_mutex);
    return m_failedFile;
}

std::error_code StagedWriter::write(OpenFolder &folder, const Job &job)
{
    NewFile file;
    std::error_code ec = folder.open(job.path.parent_path());
    if (!ec) {
        ec = file.create(folder, job.path.filename());
    }
    if (!ec) {
        ec = file.write(job.bytes.constData(), static_cast<std::size_t>(job.bytes.size()));
    }
    if (!ec && job.executable) {
        file.markExecutable();
    }
    if (const std::error_code closed = file.close(); !ec) {
        ec = closed;
    }
    return ec;
}

void StagedWriter::run()
{
    OpenFolder folder;
    std::deque<Job> batch;
    std::size_t batchBytes = 0;
    std::error_code failed;
    std::filesystem::path failedFile;
    QMutexLocker lock(&m_mutex);
    for (;;) {
        // What the last batch did, then everything put since, in one go.
        m_pendingBytes -= batchBytes;
        if (failed && !m_failure) {
            m_failure = failed;
            m_failedFile = failedFile;
            m_jobs.clear();
            m_pendingBytes = 0;
        }
        m_busy = false;
        if (m_callerWaits) {
            m_callerWaits = false;
            m_changed.wakeAll();
        }
        while (m_jobs.empty() && !m_closing) {
            m_writerWaits = true;
            m_changed.wait(&m_mutex);
        }
        if (m_jobs.empty()) {
            return;
        }
        batch.clear();
        batch.swap(m_jobs);
        m_busy = true;
        lock.unlock();
        batchBytes = 0;
        for (const Job &job : batch) {
            batchBytes += static_cast<std::size_t>(job.bytes.size());
            if (!failed && (failed = write(folder, job))) {
                failedFile = job.path;
            }
        }
        lock.relock();
    }
}

} // namespace freshgate
