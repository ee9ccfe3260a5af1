#include "settings/IniFile.h"

#include "base/DurableFile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QLockFile>
#include <QStringView>
#include <chrono>
#include <filesystem>
#include <utility>

namespace freshgate {
namespace {

// QSettings compares the names in an INI file case-sensitively, except on Windows.
#ifdef Q_OS_WIN
constexpr Qt::CaseSensitivity kNameCase = Qt::CaseInsensitive;
#else
constexpr Qt::CaseSensitivity kNameCase = Qt::CaseSensitive;
#endif

// How long a write waits for another writer's lock (QSettings holds it for one file write).
constexpr int kLockWaitMs = 10000;

constexpr char kHexDigits[] = "0123456789ABCDEF";

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool isHexDigit(char16_t c)
{
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

QByteArray escapedName(const QString &name)
{
    QByteArray out;
    for (const QChar qc : name) {
        const char16_t c = qc.unicode();
        if (c == u'/') {
            out += '\\';
        } else if ((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
                   (c >= u'0' && c <= u'9') || c == u'_' || c == u'-' || c == u'.') {
            out += static_cast<char>(c);
        } else if (c <= 0xff) {
            out += '%';
            out += kHexDigits[c / 16];
            out += kHexDigits[c % 16];
        } else {
            out += "%U";
            for (int shift = 12; shift >= 0; shift -= 4) {
                out += kHexDigits[(c >> shift) & 0xf];
            }
        }
    }
    return out;
}

QString unescapedName(QByteArrayView raw)
{
    const QString name = QString::fromUtf8(raw);
    QString out;
    qsizetype i = 0;
    while (i < name.size()) {
        const QChar c = name.at(i);
        if (c == u'\\') {
            out += u'/';
            ++i;
            continue;
        }
        if (c != u'%' || i == name.size() - 1) {
            out += c;
            ++i;
            continue;
        }
        const bool wide = name.at(i + 1) == u'U';
        const qsizetype first = i + (wide ? 2 : 1);
        const qsizetype digits = wide ? 4 : 2;
        bool ok = first + digits <= name.size();
        const ushort code = ok ? QStringView(name).sliced(first, digits).toUShort(&ok, 16) : 0;
        if (!ok) {
            out += u'%';
            ++i;
            continue;
        }
        out += QChar(code);
        i = first + digits;
    }
    return out;
}

QByteArray escapedValue(const QString &text)
{
    // A leading '@' announces a typed value ("@ByteArray(...)"); a text's own '@' is doubled.
    const QString value = text.startsWith(u'@') ? u'@' + text : text;
    QByteArray out;
    bool needsQuotes = false;
    bool escapeNextHexDigit = false;
    for (qsizetype i = 0; i < value.size(); ++i) {
        const char16_t c = value.at(i).unicode();
        if (c == u';' || c == u',' || c == u'=') {
            needsQuotes = true;
        }
        // After "\x1f" a hex digit would be read as part of the number.
        if (escapeNextHexDigit && isHexDigit(c)) {
            out += "\\x" + QByteArray::number(c, 16);
            continue;
        }
        escapeNextHexDigit = false;
        switch (c) {
        case u'\0':
            out += "\\0";
            escapeNextHexDigit = true;
            break;
        case u'\a':
            out += "\\a";
            break;
        case u'\b':
            out += "\\b";
            break;
        case u'\f':
            out += "\\f";
            break;
        case u'\n':
            out += "\\n";
            break;
        case u'\r':
            out += "\\r";
            break;
        case u'\t':
            out += "\\t";
            break;
        case u'\v':
            out += "\\v";
            break;
        case u'"':
        case u'\\':
            out += '\\';
            out += static_cast<char>(c);
            break;
        default:
            if (c <= 0x1f) {
                out += "\\x" + QByteArray::number(c, 16);
                escapeNextHexDigit = true;
            } else if (c < 0x80) {
                out += static_cast<char>(c);
            } else {
                const bool pair = QChar::isHighSurrogate(c) && i + 1 < value.size() &&
                                  value.at(i + 1).isLowSurrogate();
                out += QStringView(value).sliced(i, pair ? 2 : 1).toUtf8();
                i += pair ? 1 : 0;
            }
        }
    }
    if (needsQuotes || (!out.isEmpty() && (out.front() == ' ' || out.back() == ' '))) {
        out = '"' + out + '"';
    }
    return out;
}

QByteArray sectionHeader(const QString &section)
{
    QByteArray name = escapedName(section);
    // "[General]" is where QSettings keeps keys that have no section.
    if (name.compare("general", Qt::CaseInsensitive) == 0) {
        name = "%General";
    }
    return '[' + name + ']';
}

// One line as QSettings reads it: possibly several lines of the file (a quoted text or a '\' at
// the end carries it on), possibly part of one (an unquoted ';' ends it).
struct IniLine {
    qsizetype start = 0;
    qsizetype end = 0;
    qsizetype equals = -1; // the '=' that ends its key, -1 for none
};

// The next line from pos, skipping blank lines and ';' comments as QSettings does; false at the
// end of the text.
bool nextLine(QByteArrayView data, qsizetype &pos, IniLine &line)
{
    const qsizetype size = data.size();
    bool inQuotes = false;
    line.equals = -1;
    qsizetype start = pos;
    while (start < size && isBlank(data[start])) {
        ++start;
    }
    qsizetype i = start;
    while (i < size) {
        const char c = data[i++];
        if (c == '=') {
            if (!inQuotes && line.equals < 0) {
                line.equals = i - 1;
            }
        } else if (c == '\n' || c == '\r') {
            if (i == start + 1) {
                ++start;
            } else if (!inQuotes) {
                --i;
                break;
            }
        } else if (c == '\\') {
            if (i < size) {
                const char escaped = data[i++];
                if (i < size && ((escaped == '\n' && data[i] == '\r') ||
                                 (escaped == '\r' && data[i] == '\n'))) {
                    ++i;
                }
            }
        } else if (c == '"') {
            inQuotes = !inQuotes;
        } else if (c == ';') {
            if (i == start + 1) {
                while (i < size && data[i] != '\n' && data[i] != '\r') {
                    ++i;
                }
                while (i < size && isBlank(data[i])) {
                    ++i;
                }
                start = i;
            } else if (!inQuotes) {
                --i;
                break;
            }
        }
    }
    pos = i;
    line.start = start;
    line.end = i;
    return i > start;
}

// The section a "[...]" line opens, as QSettings names it: "" for [General], else with a '/'.
QString sectionOf(QByteArrayView line)
{
    qsizetype close = line.indexOf(']');
    if (close < 0) {
        close = line.size();
    }
    const QByteArrayView name = line.first(close).sliced(1).trimmed();
    if (name.compare("general", Qt::CaseInsensitive) == 0) {
        return {};
    }
    if (name.compare("%general", Qt::CaseInsensitive) == 0) {
        return QString::fromLatin1(name.sliced(1)) + u'/';
    }
    return unescapedName(name) + u'/';
}

// Just past the line break that ends the line holding pos (or the end of the text).
qsizetype afterLineBreak(QByteArrayView data, qsizetype pos)
{
    while (pos < data.size() && data[pos] != '\n' && data[pos] != '\r') {
        ++pos;
    }
    if (pos < data.size()) {
        const char c = data[pos++];
        if (c == '\r' && pos < data.size() && data[pos] == '\n') {
            ++pos;
        }
    }
    return pos;
}

QByteArray lineEndingOf(QByteArrayView data)
{
    const qsizetype lf = data.indexOf('\n');
    if (lf > 0 && data[lf - 1] == '\r') {
        return "\r\n";
    }
    if (lf < 0 && data.contains('\r')) {
        return "\r";
    }
    return "\n";
}

bool endsWithLineBreak(QByteArrayView data)
{
    return data.endsWith('\n') || data.endsWith('\r');
}

} // namespace

QByteArray iniWithValue(QByteArrayView ini, const QString &section, const QString &key,
                        const QString &value)
{
    Q_ASSERT(!section.isEmpty());
    const QString wantedSection = section + u'/';
    const QString wantedKey = wantedSection + key;
    const QByteArray encoded = escapedValue(value);

    QString current; // the section being read, with its '/'; "" before any
    qsizetype sectionEnd = -1;
    QList<std::pair<qsizetype, qsizetype>> values;
    qsizetype pos = ini.startsWith("\xef\xbb\xbf") ? 3 : 0;
    IniLine line;
    while (nextLine(ini, pos, line)) {
        const QByteArrayView text = ini.sliced(line.start, line.end - line.start);
        if (text.startsWith('[')) {
            current = sectionOf(text);
        } else if (line.equals >= 0) {
            const QString name =
                current + unescapedName(ini.sliced(line.start, line.equals - line.start).trimmed());
            if (name.compare(wantedKey, kNameCase) == 0) {
                qsizetype from = line.equals + 1;
                qsizetype to = line.end;
                while (from < to && (ini[from] == ' ' || ini[from] == '\t')) {
                    ++from;
                }
                while (to > from && (ini[to - 1] == ' ' || ini[to - 1] == '\t')) {
                    --to;
                }
                values.append({from, to});
            }
        }
        if (current.compare(wantedSection, kNameCase) == 0) {
            sectionEnd = afterLineBreak(ini, line.end);
        }
    }

    QByteArray out = ini.toByteArray();
    // QSettings takes the last of several; each gets the value so that any reader sees it.
    if (!values.isEmpty()) {
        for (auto it = values.crbegin(); it != values.crend(); ++it) {
            out.replace(it->first, it->second - it->first, encoded);
        }
        return out;
    }
    const QByteArray eol = lineEndingOf(ini);
    const QByteArray keyLine = escapedName(key) + '=' + encoded + eol;
    if (sectionEnd >= 0) {
        const bool atLineStart =
            sectionEnd > 0 && (ini[sectionEnd - 1] == '\n' || ini[sectionEnd - 1] == '\r');
        out.insert(sectionEnd, atLineStart ? keyLine : eol + keyLine);
        return out;
    }
    if (!out.isEmpty() && !endsWithLineBreak(out)) {
        out += eol;
    }
    // A blank line between sections, as QSettings writes them.
    if (!out.isEmpty() && !out.endsWith(eol + eol) && out != eol) {
        out += eol;
    }
    out += sectionHeader(section) + eol + keyLine;
    return out;
}

Status writeIniValue(const QString &path, const QString &section, const QString &key,
                     const QString &value)
{
    const QFileInfo given(path);
    // A symbolic link is written through to its target, so that is the file and folder.
    const QString target = given.exists() ? given.canonicalFilePath() : given.absoluteFilePath();
    const QString folder = QFileInfo(target).absolutePath();
    std::error_code ec;
    std::filesystem::create_directories(toPath(folder), ec);
    if (ec) {
        return fileFailure(ec, folder, QStringLiteral("cannot make the folder %1").arg(folder));
    }

    QLockFile lock(given.absoluteFilePath() + QStringLiteral(".lock"));
    if (!lock.tryLock(kLockWaitMs)) {
        return lock.error() == QLockFile::LockFailedError
                   ? fileFailure(FailureKind::Disk, path,
                                 QStringLiteral("cannot write %1").arg(path),
                                 QStringLiteral("another program holds its lock"))
                   : fileFailure(FailureKind::Denied, path,
                                 QStringLiteral("cannot create the lock file beside %1").arg(path),
                                 {});
    }

    QFile current(target);
    const bool existed = current.exists();
    QByteArray before;
    if (existed) {
        if (!current.open(QIODevice::ReadOnly)) {
            return fileFailure(FailureKind::Disk, target,
                               QStringLiteral("cannot read %1").arg(target), current.errorString());
        }
        before = current.readAll();
        current.close();
    }
    const QByteArray after = iniWithValue(before, section, key, value);
    if (existed && after == before) {
        return {};
    }
    const auto beforeTime = std::filesystem::last_write_time(toPath(target), ec);
    if (Status written = writeDurably(toPath(target), after); !written) {
        return written;
    }
    // QSettings reads a file again only when its size or its time (in milliseconds) changed; a
    // version "2" rewritten as "3" within the same millisecond would otherwise go unseen. Not
    // being able to set it costs a stale read, not the value, so it is not a failure.
    if (existed && !ec) {
        const auto inMilliseconds = [](std::filesystem::file_time_type time) {
            return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch());
        };
        const auto afterTime = std::filesystem::last_write_time(toPath(target), ec);
        if (!ec && inMilliseconds(afterTime) <= inMilliseconds(beforeTime)) {
            std::filesystem::last_write_time(toPath(target),
                                             beforeTime + std::chrono::milliseconds(1), ec);
        }
    }
    return {};
}

} // namespace freshgate
