#include "install/Installer.h"

#include "base/DurableFile.h"
#include "install/OwnFolders.h"
#include "install/Transaction.h"
#include "platform/CabinetExtractor.h"
#include "protocol/MemberName.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLoggingCategory>
#include <filesystem>

namespace freshgate {

namespace fs = std::filesystem;

namespace {

Q_LOGGING_CATEGORY(lcInstall, "freshgate.install", QtWarningMsg)

// Folders a crashed run left behind hold nothing worth keeping.
Status clearStaging(const fs::path &staging)
{
    if (!pathExists(staging)) {
        return {};
    }
    qCWarning(lcInstall).noquote()
        << "removing" << fromPath(staging) << "left by an interrupted run";
    std::error_code ec;
    fs::remove_all(staging, ec);
    if (ec) {
        return fileFailure(ec, fromPath(staging),
                           QStringLiteral("cannot empty the staging folder"));
    }
    return {};
}

Result<QStringList> removals(const QStringList &names)
{
    QStringList checked;
    for (const QString &name : names) {
        const Result<QString> rel = safeMemberPath(name);
        if (!rel) {
            return rel.failure().within(QStringLiteral("cannot remove \"%1\"").arg(name));
        }
        checked.append(*rel);
    }
    checked.removeDuplicates();
    return checked;
}

} // namespace

Installer::Installer(const QString &workFolder, VersionRecorder record, FileSystem &files)
    : m_workFolder(QDir::cleanPath(QFileInfo(workFolder).absoluteFilePath())),
      m_record(std::move(record)), m_files(files)
{
}

Result<Installed> Installer::install(const InstallRequest &request)
{
    QElapsedTimer timer;
    timer.start();
    Result<Installed> result = run(request);
    if (result) {
        qCInfo(lcInstall).noquote()
            << QStringLiteral("installed %1 members of \"%2\" into \"%3\" in %4 ms")
                   .arg(result->members)
                   .arg(request.cabinet, request.destination)
                   .arg(timer.elapsed());
    } else {
        qCWarning(lcInstall).noquote()
            << QStringLiteral("cannot install \"%1\" into \"%2\": %3")
                   .arg(request.cabinet, request.destination, result.message());
    }
    // Staged members are of no use once the installation is over, whichever way it went.
    std::error_code ec;
    fs::remove_all(toPath(m_workFolder) / kStagingFolder, ec);
    return result;
}

Result<Installed> Installer::run(const InstallRequest &request)
{
    const fs::path work = toPath(m_workFolder);
    const QString destination = QDir::cleanPath(QFileInfo(request.destination).absoluteFilePath());
    if (isOwnPath(destination, m_workFolder)) {
        return failure(FailureKind::Usage,
                       QStringLiteral("the destination lies in Freshgate's own folders"));
    }
    const Result<QStringList> toRemove = removals(request.alsoRemove);
    if (!toRemove) {
        return toRemove.failure();
    }
    if (const Status cleared = clearStaging(work / kStagingFolder); !cleared) {
        return cleared.failure();
    }
    CabinetExtractor extractor;
    extractor.setCabinetFile(request.cabinet);
    extractor.setRequiredMember(request.requiredMember);
    const Result<std::vector<StagedMember>> staged =
        extractor.extract(fromPath(work / kStagingFolder));
    if (!staged) {
        return staged.failure();
    }
    // The staged bytes are flushed with the moves, in one batch before the commit mark.
    std::vector<Transaction::Move> moves;
    for (const StagedMember &member : *staged) {
        moves.push_back({member.staged, member.rel});
    }

    Transaction transaction(work, toPath(destination), m_files);
    Status step = transaction.plan(moves, *toRemove);
    if (step) {
        step = transaction.check();
    }
    if (step) {
        step = transaction.begin(request.record);
    }
    if (!step) {
        return step.failure();
    }
    step = transaction.apply();
    if (step) {
        step = transaction.commit();
    }
    if (step && request.record) {
        step = m_record(*request.record);
    }
    if (!step) {
        if (const Status undone = transaction.rollback(); !undone) {
            return step.failure().within(undone.message());
        }
        return step.failure();
    }
    transaction.retire();
    Installed installed{static_cast<int>(staged->size()), {}};
    for (const StagedMember &member : *staged) {
        installed.files.append(member.rel);
    }
    return installed;
}

} // namespace freshgate
