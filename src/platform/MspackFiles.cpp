#include "platform/MspackFiles.h"

#include "base/DurableFile.h"

#include <QFile>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mspack.h>
#include <utility>

namespace freshgate {
namespace {

// libmspack hands this back as its opaque mspack_file.
struct QtMspackFile {
    QFile file;
};

QtMspackFile *cast(mspack_file *handle)
{
    return reinterpret_cast<QtMspackFile *>(handle);
}

mspack_file *openFile(mspack_system *, const char *name, int mode)
{
    auto *handle = new QtMspackFile;
    handle->file.setFileName(QString::fromUtf8(name));
    QIODevice::OpenMode how = QIODevice::ReadOnly;
    switch (mode) {
    case MSPACK_SYS_OPEN_READ:
        how = QIODevice::ReadOnly;
        break;
    case MSPACK_SYS_OPEN_WRITE:
        how = QIODevice::WriteOnly | QIODevice::Truncate;
        break;
    case MSPACK_SYS_OPEN_UPDATE:
        how = QIODevice::ReadWrite;
        break;
    case MSPACK_SYS_OPEN_APPEND:
        how = QIODevice::ReadWrite | QIODevice::Append;
        break;
    default:
        delete handle;
        return nullptr;
    }
    if (!handle->file.open(how)) {
        delete handle;
        return nullptr;
    }
    return reinterpret_cast<mspack_file *>(handle);
}

void closeFile(mspack_file *handle)
{
    delete cast(handle);
}

int readFile(mspack_file *handle, void *buffer, int bytes)
{
    if (bytes < 0) {
        return -1;
    }
    const qint64 got = cast(handle)->file.read(static_cast<char *>(buffer), bytes);
    return got < 0 ? -1 : static_cast<int>(got);
}

int writeFile(mspack_file *handle, void *buffer, int bytes)
{
    if (bytes < 0) {
        return -1;
    }
    const qint64 put = cast(handle)->file.write(static_cast<const char *>(buffer), bytes);
    return put < 0 ? -1 : static_cast<int>(put);
}

int seekFile(mspack_file *handle, off_t offset, int mode)
{
    QFile &file = cast(handle)->file;
    qint64 to = offset;
    switch (mode) {
    case MSPACK_SYS_SEEK_START:
        break;
    case MSPACK_SYS_SEEK_CUR:
        to += file.pos();
        break;
    case MSPACK_SYS_SEEK_END:
        to += file.size();
        break;
    default:
        return -1;
    }
    if (to < 0) {
        return -1;
    }
    return file.seek(to) ? 0 : -1;
}

off_t tellFile(mspack_file *handle)
{
    const qint64 at = cast(handle)->file.pos();
    return at > std::numeric_limits<off_t>::max() ? off_t{-1} : static_cast<off_t>(at);
}

// libmspack's own messages are about damaged cabinets, which the caller reports by its result.
void ignoreMessage(mspack_file *, const char *, ...) {}

void *allocate(mspack_system *, size_t bytes)
{
    return std::malloc(bytes);
}

void release(void *memory)
{
    std::free(memory);
}

void copyBytes(void *from, void *to, size_t bytes)
{
    std::memcpy(to, from, bytes);
}

mspack_system makeSystem()
{
    mspack_system system{};
    system.open = openFile;
    system.close = closeFile;
    system.read = readFile;
    system.write = writeFile;
    system.seek = seekFile;
    system.tell = tellFile;
    system.message = ignoreMessage;
    system.alloc = allocate;
    system.free = release;
    system.copy = copyBytes;
    system.null_ptr = nullptr;
    return system;
}

} // namespace

mspack_system *qtFileSystem()
{
    static mspack_system system = makeSystem();
    static const bool usable = [] {
        int result = MSPACK_ERR_OK;
        MSPACK_SYS_SELFTEST(result);
        return result == MSPACK_ERR_OK;
    }();
    return usable ? &system : nullptr;
}

QByteArray mspackFileName(const QString &path)
{
    return path.toUtf8();
}

namespace {

// Above this a file is written as it comes rather than held: a few large members must not
// cost their size in memory.
constexpr std::uint64_t kHeldUpTo = std::uint64_t{512} * 1024;

// A file libmspack reads (through Qt) or writes (held, or in place once large).
struct StagingHandle {
    mspack_file *input = nullptr;
    StagingFiles *owner = nullptr;
    std::filesystem::path path;
    QByteArray held;
    NewFile direct;
    bool inPlace = false;
    bool executable = false;
    std::uint64_t written = 0;
};

StagingHandle *staging(mspack_file *handle)
{
    return reinterpret_cast<StagingHandle *>(handle);
}

} // namespace

struct StagingFiles::System {
    mspack_system base; // first: libmspack hands &base back
    StagingFiles *owner = nullptr;
};

// The callbacks, with access to the owner's state.
struct StagingAccess {
    static StagingFiles *owner(mspack_system *system)
    {
        return reinterpret_cast<StagingFiles::System *>(system)->owner;
    }

    static mspack_file *open(mspack_system *system, const char *name, int mode)
    {
        if (mode == MSPACK_SYS_OPEN_READ) {
            mspack_file *input = openFile(system, name, mode);
            if (!input) {
                return nullptr;
            }
            auto *handle = new StagingHandle;
            handle->input = input;
            return reinterpret_cast<mspack_file *>(handle);
        }
        if (mode != MSPACK_SYS_OPEN_WRITE) {
            return nullptr;
        }
        StagingFiles *files = owner(system);
        auto *handle = new StagingHandle;
        handle->owner = files;
        handle->path = toPath(QString::fromUtf8(name));
        handle->executable = files->m_executable;
        handle->held.reserve(static_cast<qsizetype>(std::min(files->m_expected, kHeldUpTo)));
        return reinterpret_cast<mspack_file *>(handle);
    }

    static void fail(StagingHandle &handle, const std::error_code &ec)
    {
        if (!handle.owner->m_failure) {
            handle.owner->m_failure = ec;
            handle.owner->m_failedFile = handle.path;
        }
    }

    static int write(mspack_file *file, void *buffer, int bytes)
    {
        StagingHandle &handle = *staging(file);
        if (handle.input || bytes < 0) {
            return -1;
        }
        const char *from = static_cast<const char *>(buffer);
        handle.written += static_cast<std::uint64_t>(bytes);
        if (!handle.inPlace && handle.written <= kHeldUpTo) {
            handle.held.append(from, bytes);
            return bytes;
        }
        std::error_code ec;
        if (!handle.inPlace) {
            handle.inPlace = true;
            ec = handle.direct.create(handle.path);
            if (!ec) {
                ec = handle.direct.write(handle.held.constData(),
                                         static_cast<std::size_t>(handle.held.size()));
            }
            handle.held = QByteArray();
        }
        if (!ec) {
            ec = handle.direct.write(from, static_cast<std::size_t>(bytes));
        }
        if (ec) {
            fail(handle, ec);
            return -1;
        }
        return bytes;
    }

    static void close(mspack_file *file)
    {
        StagingHandle *handle = staging(file);
        if (handle->input) {
            closeFile(handle->input);
        } else if (handle->inPlace) {
            if (handle->executable) {
                handle->direct.markExecutable();
            }
            if (const std::error_code ec = handle->direct.close()) {
                fail(*handle, ec);
            }
            handle->owner->m_lastWritten = handle->written;
        } else {
            handle->owner->m_writer.put(std::move(handle->path), std::move(handle->held),
                                        handle->executable);
            handle->owner->m_lastWritten = handle->written;
        }
        delete handle;
    }

    static int read(mspack_file *file, void *buffer, int bytes)
    {
        mspack_file *input = staging(file)->input;
        return input ? readFile(input, buffer, bytes) : -1;
    }

    static int seek(mspack_file *file, off_t offset, int mode)
    {
        mspack_file *input = staging(file)->input;
        return input ? seekFile(input, offset, mode) : -1;
    }

    static off_t tell(mspack_file *file)
    {
        mspack_file *input = staging(file)->input;
        return input ? tellFile(input) : off_t{-1};
    }
};

StagingFiles::StagingFiles(StagedWriter &writer)
    : m_writer(writer), m_system(std::make_unique<System>())
{
    m_system->base = makeSystem();
    m_system->base.open = StagingAccess::open;
    m_system->base.close = StagingAccess::close;
    m_system->base.read = StagingAccess::read;
    m_system->base.write = StagingAccess::write;
    m_system->base.seek = StagingAccess::seek;
    m_system->base.tell = StagingAccess::tell;
    m_system->owner = this;
}

StagingFiles::~StagingFiles() = default;

mspack_system *StagingFiles::system()
{
    return qtFileSystem() ? &m_system->base : nullptr;
}

void StagingFiles::expect(std::uint64_t size, bool executable)
{
    m_expected = size;
    m_executable = executable;
}

} // namespace freshgate
