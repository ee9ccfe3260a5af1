#pragma once

// Header only: it needs the install's file-system seam, which only the install's tests link.

#include "install/FileSystem.h"

#include <system_error>

namespace freshgate::test {

// The machine's file system, except that the Nth operation of one kind fails with a chosen
// error, as a read-only mount, a locked file, an access list or a full disk would make it fail
// at that moment. With everyAfter, that operation and every later one of the kind fail: a folder
// that turned read-only stays so. With linksRefused, the file system has no hard links at all
// (FAT, some shares). Counts every operation, so a test can also prove that none of a kind was
// made.
class FaultyFileSystem : public FileSystem {
public:
    enum class Op { Rename, Link, Remove, CreateFolder, Copy };

    FaultyFileSystem(Op op, int nth, std::errc error, bool everyAfter = false,
                     bool linksRefused = false)
        : m_op(op), m_nth(nth), m_error(std::make_error_code(error)), m_everyAfter(everyAfter),
          m_linksRefused(linksRefused)
    {
    }

    std::error_code rename(const std::filesystem::path &from,
                           const std::filesystem::path &to) override
    {
        return fails(Op::Rename) ? m_error : FileSystem::rename(from, to);
    }
    std::error_code link(const std::filesystem::path &existing,
                         const std::filesystem::path &newName) override
    {
        if (fails(Op::Link)) {
            return m_error;
        }
        return m_linksRefused ? std::make_error_code(std::errc::operation_not_permitted)
                              : FileSystem::link(existing, newName);
    }
    std::error_code remove(const std::filesystem::path &path) override
    {
        return fails(Op::Remove) ? m_error : FileSystem::remove(path);
    }
    std::error_code createFolder(const std::filesystem::path &path) override
    {
        return fails(Op::CreateFolder) ? m_error : FileSystem::createFolder(path);
    }
    std::error_code copy(const std::filesystem::path &from,
                         const std::filesystem::path &to) override
    {
        return fails(Op::Copy) ? m_error : FileSystem::copy(from, to);
    }

    // How many operations of op were asked for, failed ones included.
    [[nodiscard]] int count(Op op) const { return m_counts[static_cast<int>(op)]; }

private:
    bool fails(Op op)
    {
        const int n = ++m_counts[static_cast<int>(op)];
        return op == m_op && (n == m_nth || (m_everyAfter && n > m_nth));
    }

    Op m_op;
    int m_nth;
    std::error_code m_error;
    bool m_everyAfter;
    bool m_linksRefused;
    int m_counts[5] = {};
};

} // namespace freshgate::test
