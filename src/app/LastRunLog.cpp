#include "app/LastRunLog.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QLoggingCategory>
#include <QMutex>
#include <QStandardPaths>
#include <array>
#include <cstdio>

namespace freshgate {
namespace {

constexpr char kOwnCategories[] = "freshgate.";
constexpr std::array<QtMsgType, 4> kLevels{QtDebugMsg, QtInfoMsg, QtWarningMsg, QtCriticalMsg};

// What the handler and the filter share; the handler may run on any thread.
struct LogState {
    QMutex mutex;
    QFile file;
    qint64 written = 0;
    qint64 maxBytes = 0;
    bool full = false;
    QtMessageHandler previousHandler = nullptr;
    QLoggingCategory::CategoryFilter previousFilter = nullptr;
    // For each category of ours, the levels the rules show on standard error, as bits.
    QHash<QByteArray, unsigned> shown;
};

LogState &state()
{
    static LogState s;
    return s;
}

bool isOwn(const char *category)
{
    return category && qstrncmp(category, kOwnCategories, sizeof(kOwnCategories) - 1) == 0;
}

unsigned bit(QtMsgType type)
{
    for (std::size_t i = 0; i < kLevels.size(); ++i) {
        if (kLevels.at(i) == type) {
            return 1U << i;
        }
    }
    return 0;
}

// Every level of our categories is on, so the file gets every line; what the rules asked for is
// kept to decide what standard error still gets.
void filter(QLoggingCategory *category)
{
    LogState &s = state();
    if (s.previousFilter) {
        s.previousFilter(category);
    }
    if (!isOwn(category->categoryName())) {
        return;
    }
    unsigned shown = 0;
    for (const QtMsgType level : kLevels) {
        if (category->isEnabled(level)) {
            shown |= bit(level);
        }
        category->setEnabled(level, true);
    }
    QMutexLocker lock(&s.mutex);
    s.shown.insert(QByteArray(category->categoryName()), shown);
}

const char *levelName(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return "debug";
    case QtInfoMsg:
        return "info";
    case QtWarningMsg:
        return "warning";
    case QtCriticalMsg:
        return "critical";
    case QtFatalMsg:
        return "fatal";
    }
    return "?";
}

void write(LogState &s, const QByteArray &line)
{
    if (!s.file.isOpen() || s.full) {
        return;
    }
    if (s.written + line.size() > s.maxBytes) {
        s.full = true;
        s.file.write(QByteArrayLiteral("The log of this run stops here: it reached ") +
                     QByteArray::number(s.maxBytes) + " bytes.\n");
        s.file.flush();
        return;
    }
    s.written += s.file.write(line);
    // A crash or a kill must not take the last lines with it.
    s.file.flush();
}

void handler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    LogState &s = state();
    bool forward = true;
    {
        QMutexLocker lock(&s.mutex);
        const QByteArray line =
            QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss.zzz")).toUtf8() + ' ' +
            (context.category ? context.category : "default") + ' ' + levelName(type) + ": " +
            message.toUtf8() + '\n';
        write(s, line);
        if (isOwn(context.category)) {
            forward = (s.shown.value(QByteArray(context.category)) & bit(type)) != 0 ||
                      type == QtFatalMsg;
        }
    }
    if (forward && s.previousHandler) {
        s.previousHandler(type, context, message);
    }
}

} // namespace

LastRunLog::LastRunLog(const QString &folder, qint64 maxBytes)
    : m_path(QDir(folder).filePath(QStringLiteral("last-run.log")))
{
    LogState &s = state();
    {
        QMutexLocker lock(&s.mutex);
        s.maxBytes = maxBytes;
        s.written = 0;
        s.full = false;
        if (QDir().mkpath(folder)) {
            const QString previous = QDir(folder).filePath(QStringLiteral("previous-run.log"));
            QFile::remove(previous);
            QFile::rename(m_path, previous);
            s.file.setFileName(m_path);
            if (!s.file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
                std::fprintf(stderr, "freshgate: cannot write the log %s: %s\n",
                             qPrintable(QDir::toNativeSeparators(m_path)),
                             qPrintable(s.file.errorString()));
            }
        } else {
            std::fprintf(stderr, "freshgate: cannot make the folder %s for the log\n",
                         qPrintable(QDir::toNativeSeparators(folder)));
        }
    }
    s.previousHandler = qInstallMessageHandler(handler);
    s.previousFilter = QLoggingCategory::installFilter(filter);
}

LastRunLog::~LastRunLog()
{
    LogState &s = state();
    QLoggingCategory::installFilter(s.previousFilter);
    qInstallMessageHandler(s.previousHandler);
    QMutexLocker lock(&s.mutex);
    s.file.close();
    s.shown.clear();
}

bool LastRunLog::isOpen() const
{
    LogState &s = state();
    QMutexLocker lock(&s.mutex);
    return s.file.isOpen();
}

QString LastRunLog::defaultFolder()
{
#ifdef Q_OS_WIN
    // %LOCALAPPDATA%, where a user's own programs keep what is not roamed.
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation))
        .filePath(QStringLiteral("Freshgate"));
#else
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base)) {
        base = QDir::home().filePath(QStringLiteral(".local/state"));
    }
    return QDir(base).filePath(QStringLiteral("freshgate"));
#endif
}

} // namespace freshgate
