#include "publish/Staging.h"

#include "base/DurableFile.h"
#include "protocol/Components.h"
#include "publish/CabinetWriter.h"
#include "publish/PublishFailure.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <filesystem>

namespace freshgate::publishing {

namespace {

const QString kManifestName = QLatin1String(kManifestFile);

QString shownIn(const QString &folder, const QString &name)
{
    return QDir::toNativeSeparators(QDir(folder).filePath(name));
}

Status writeNewFile(const QString &path, const QByteArray &bytes)
{
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly) || out.write(bytes) != bytes.size() ||
        !out.flush()) {
        return qtFileFailure(out,
                             QStringLiteral("cannot write %1").arg(QDir::toNativeSeparators(path)));
    }
    return {};
}

Status copyNewFile(const QString &from, const QString &to)
{
    std::error_code ec;
    std::filesystem::copy_file(toPath(from), toPath(to), ec);
    if (ec) {
        return fileFailure(ec, to,
                           QStringLiteral("cannot copy %1 to %2")
                               .arg(QDir::toNativeSeparators(from), QDir::toNativeSeparators(to)));
    }
    return {};
}

Status writeCabinet(const QList<SourceFile> &files, const QString &path)
{
    CabinetWriter writer;
    for (const SourceFile &file : files) {
        CabinetWriter::Attributes attributes = CabinetWriter::Attribute::Archive;
        if (file.executable) {
            attributes |= CabinetWriter::Attribute::Executable;
        }
        if (Status added = writer.addFile(file.memberName, file.path, attributes); !added) {
            return added;
        }
    }
    return writer.write(path);
}

// Packs or copies one slot's cabinet; gives its report line, or none for a slot left empty.
Result<QString> stageCabinet(const Plan &plan, Slot slot, const QString &oldFolder,
                             const QString &staging, const QString &finalFolder)
{
    const QString cabinet = cabinetOf(slot);
    const QString target = QDir(staging).filePath(cabinet);
    const QString shown = shownIn(finalFolder, cabinet);
    if (plan.origin[slot] == Origin::New) {
        if (Status written = writeCabinet(plan.files[slot], target); !written) {
            return written.failure().within(QStringLiteral("packing %1").arg(cabinet));
        }
        const qsizetype count = plan.files[slot].size();
        return QStringLiteral("wrote %1: %2, %3 %4")
            .arg(shown, describe(plan, slot))
            .arg(count)
            .arg(count == 1 ? QStringLiteral("file") : QStringLiteral("files"));
    }
    if (plan.origin[slot] == Origin::Kept) {
        if (Status copied = copyNewFile(QDir(oldFolder).filePath(cabinet), target); !copied) {
            return copied.failure();
        }
        return QStringLiteral("kept %1: %2").arg(shown, describe(plan, slot));
    }
    return QString();
}

} // namespace

Result<QStringList> fillStaging(const Plan &plan, const QString &oldFolder, const QString &staging,
                                const QString &finalFolder)
{
    QStringList report;
    for (Slot slot : {Resource, Data, Help, Exe, FullExe}) {
        const Result<QString> line = stageCabinet(plan, slot, oldFolder, staging, finalFolder);
        if (!line) {
            return line.failure();
        }
        if (!line->isEmpty()) {
            report << *line;
        }
    }
    const QString text = formatManifest(plan.fields);
    if (Status written = writeNewFile(QDir(staging).filePath(kManifestName), text.toLatin1());
        !written) {
        return written.failure();
    }
    report << QStringLiteral("wrote %1: %2").arg(shownIn(finalFolder, kManifestName), text);
    return report;
}

Result<QStringList> signStaging(const minisign::SecretKey &key, const Plan &plan,
                                std::optional<qint64> expires, const QString &staging,
                                const QString &finalFolder)
{
    QStringList names = QDir(staging).entryList(QDir::Files, QDir::Name);
    names.removeAll(kManifestName);
    names << kManifestName;
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    QStringList report;
    for (const QString &name : names) {
        const QString path = QDir(staging).filePath(name);
        minisign::CommentFields fields;
        fields.timestamp = now;
        fields.file = name;
        if (name == kManifestName) {
            fields.expires = expires;
        } else if (const std::optional<qint16> version = versionOf(plan, name)) {
            fields.version = QString::number(*version);
            fields.size = QFileInfo(path).size();
        }
        const Result<QByteArray> signature = minisign::signFile(key, path, fields);
        if (!signature) {
            return signature.failure().within(QStringLiteral("signing %1").arg(name));
        }
        if (Status written = writeNewFile(path + QLatin1String(kSignatureSuffix), *signature);
            !written) {
            return written.failure();
        }
        report << QStringLiteral("signed %1").arg(shownIn(finalFolder, name));
    }
    return report;
}

} // namespace freshgate::publishing
