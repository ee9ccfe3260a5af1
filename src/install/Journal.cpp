#include "install/Journal.h"

#include "base/CrashPoint.h"
#include "base/DurableFile.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <string>

namespace freshgate {

namespace fs = std::filesystem;

namespace {

constexpr int kFormat = 3;
constexpr char kCommitMark[] = "committed\n";

QByteArray serialize(const Journal &journal)
{
    QJsonArray folders;
    for (const fs::path &folder : journal.folders) {
        folders.append(fromPath(folder));
    }
    QJsonArray entries;
    for (const JournalEntry &entry : journal.entries) {
        QJsonObject object{{QStringLiteral("target"), entry.rel},
                           {QStringLiteral("existed"), entry.existed}};
        if (!entry.staged.isEmpty()) {
            object.insert(QStringLiteral("staged"), entry.staged);
        }
        if (entry.folder) {
            object.insert(QStringLiteral("folder"), true);
        }
        entries.append(object);
    }
    QJsonObject object{
        {QStringLiteral("format"), kFormat},
        {QStringLiteral("work"), fromPath(journal.work)},
        {QStringLiteral("destination"), fromPath(journal.destination)},
        {QStringLiteral("folders"), folders},
        {QStringLiteral("entries"), entries},
    };
    if (journal.record) {
        object.insert(QStringLiteral("key"), QLatin1String(settingInfo(journal.record->key).name));
        object.insert(QStringLiteral("version"), journal.record->version);
    }
    // Compact JSON holds no line break, so the commit mark can follow on a line of its own.
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

std::optional<VersionRecord> readRecord(const QJsonObject &object, int format)
{
    if (format == 1) {
        return parseRecordText(object.value(u"note").toString());
    }
    if (!object.contains(u"key")) {
        return std::nullopt;
    }
    return parseRecordText(object.value(u"key").toString() + u'=' +
                           QString::number(object.value(u"version").toInt()));
}

bool readPaths(const QJsonObject &object, Journal *journal)
{
    for (const auto &folder : object.value(u"folders").toArray()) {
        const fs::path path = toPath(folder.toString());
        if (!path.is_absolute()) {
            return false;
        }
        journal->folders.push_back(path);
    }
    for (const auto &value : object.value(u"entries").toArray()) {
        const QJsonObject entryObject = value.toObject();
        JournalEntry entry{
            entryObject.value(u"staged").toString(), entryObject.value(u"target").toString(),
            entryObject.value(u"existed").toBool(), entryObject.value(u"folder").toBool()};
        const fs::path rel = toPath(entry.rel);
        if ((entry.rel.isEmpty() && !entry.folder) || rel.is_absolute() ||
            fromPath(rel.lexically_normal()).startsWith(QLatin1String(".."))) {
            return false;
        }
        journal->entries.push_back(entry);
    }
    return true;
}

Failure unreadable(const JournalNames &names, const QString &why)
{
    return fileFailure(
        FailureKind::Disk, fromPath(names.journal),
        QStringLiteral("the journal \"%1\" cannot be used").arg(fromPath(names.journal)), why);
}

} // namespace

fs::path Journal::target(const JournalEntry &entry) const
{
    return entry.rel.isEmpty() ? destination : destination / toPath(entry.rel);
}

fs::path Journal::backup(std::size_t index) const
{
    return names.backup / std::to_string(index);
}

Status Journal::write() const
{
    if (const Status written = writeDurably(names.journal, serialize(*this)); !written) {
        return written.failure().within(QStringLiteral("writing the journal"));
    }
    return {};
}

Status Journal::markCommitted()
{
    QFile file(fromPath(names.journal));
    const QByteArray mark(kCommitMark);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append) || file.write(mark) != mark.size() ||
        !file.flush()) {
        return fileFailure(FailureKind::Disk, fromPath(names.journal),
                           QStringLiteral("cannot mark the journal committed"), file.errorString());
    }
    file.close();
    stepDone("commit mark written");
    if (Status flushed = syncFile(names.journal); !flushed) {
        return flushed;
    }
    stepDone("commit mark flushed");
    committed = true;
    return {};
}

Status Journal::takeBackCommit()
{
    if (Status written = write(); !written) {
        return written;
    }
    committed = false;
    return {};
}

Status Journal::remove() const
{
    std::error_code ec;
    fs::remove(names.journal, ec);
    if (ec) {
        return fileFailure(ec, fromPath(names.journal),
                           QStringLiteral("cannot remove the journal"));
    }
    stepDone("journal removed");
    // Back from the dead, a committed journal would only record its version again; flushed, it
    // cannot undo a later installation.
    Status flushed = syncFolder(work);
    stepDone("work folder flushed");
    return flushed;
}

Result<Journal> Journal::read(const JournalNames &names)
{
    QFile file(fromPath(names.journal));
    if (!file.open(QIODevice::ReadOnly)) {
        return unreadable(names, file.errorString());
    }
    const QByteArray bytes = file.readAll();
    const qsizetype end = bytes.indexOf('\n');
    if (end < 0) {
        return unreadable(names, QStringLiteral("cut short"));
    }
    const QByteArray rest = bytes.mid(end + 1);
    if (!rest.isEmpty() && !QByteArray(kCommitMark).startsWith(rest)) {
        return unreadable(names, QStringLiteral("something follows the plan"));
    }
    QJsonParseError error;
    const QJsonObject object = QJsonDocument::fromJson(bytes.left(end), &error).object();
    const int format = object.value(u"format").toInt();
    if (error.error != QJsonParseError::NoError || format < 1 || format > kFormat ||
        !object.value(u"destination").isString() || !object.value(u"entries").isArray()) {
        return unreadable(names, QStringLiteral("not a journal Freshgate can read"));
    }
    Journal journal;
    journal.names = names;
    journal.work = names.journal.parent_path();
    journal.destination = toPath(object.value(u"destination").toString());
    journal.record = readRecord(object, format);
    // A mark cut short by the crash counts as none: the version was not recorded yet.
    journal.committed = rest == kCommitMark;
    if (!journal.destination.is_absolute() || !readPaths(object, &journal)) {
        return unreadable(names, QStringLiteral("it names a path outside its destination"));
    }
    return journal;
}

} // namespace freshgate
