#include "platform/MspackFiles.h"

#include <QFile>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mspack.h>

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

} // namespace freshgate
