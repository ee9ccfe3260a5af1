#include "update/HandOver.h"

#include "base/DurableFile.h"
#include "protocol/Version.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStandardPaths>
#include <array>

namespace freshgate {
namespace {

constexpr qint64 kMaxResultBytes = qint64{1024} * 1024;

struct Token {
    Component component;
    const char *name;
};
// Only what installs into the product's folders is handed over; a full package is unpacked in
// the caller's own work folder and needs no rights.
constexpr std::array<Token, 4> kTokens{{{Component::Resource, "resource"},
                                        {Component::Data, "data"},
                                        {Component::Help, "help"},
                                        {Component::ExePatch, "exe"}}};

const char *tokenOf(Component component)
{
    for (const Token &token : kTokens) {
        if (token.component == component) {
            return token.name;
        }
    }
    return nullptr;
}

std::optional<Component> componentOf(const QString &name)
{
    for (const Token &token : kTokens) {
        if (name == QLatin1String(token.name)) {
            return token.component;
        }
    }
    return std::nullopt;
}

Failure malformed(const QString &why)
{
    return failure(FailureKind::Usage, QStringLiteral("malformed hand-over: %1").arg(why));
}

QJsonObject toJson(const HandOverOutcome &outcome)
{
    QJsonObject object{{QStringLiteral("component"), QLatin1String(tokenOf(outcome.component))}};
    if (outcome.failure) {
        const Failure &why = *outcome.failure;
        object.insert(QStringLiteral("kind"), static_cast<int>(why.kind));
        object.insert(QStringLiteral("message"), why.message);
        object.insert(QStringLiteral("path"), why.path);
        object.insert(QStringLiteral("status"), why.httpStatus);
        object.insert(QStringLiteral("refusal"), static_cast<int>(why.refusal));
        object.insert(QStringLiteral("signed"), why.signedValue);
        object.insert(QStringLiteral("expected"), why.expectedValue);
    }
    return object;
}

std::optional<HandOverOutcome> fromJson(const QJsonObject &object)
{
    const std::optional<Component> component =
        componentOf(object.value(QLatin1String("component")).toString());
    if (!component) {
        return std::nullopt;
    }
    HandOverOutcome outcome{*component, std::nullopt};
    if (!object.contains(QLatin1String("kind"))) {
        return outcome;
    }
    const int kind = object.value(QLatin1String("kind")).toInt(-1);
    const int refused = object.value(QLatin1String("refusal")).toInt(-1);
    if (kind < 0 || kind > static_cast<int>(FailureKind::FolderBusy) || refused < 0 ||
        refused > static_cast<int>(Refusal::Expired)) {
        return std::nullopt;
    }
    Failure why =
        failure(static_cast<FailureKind>(kind), object.value(QLatin1String("message")).toString(),
                object.value(QLatin1String("status")).toInt());
    why.path = object.value(QLatin1String("path")).toString();
    why.refusal = static_cast<Refusal>(refused);
    why.signedValue = object.value(QLatin1String("signed")).toString();
    why.expectedValue = object.value(QLatin1String("expected")).toString();
    outcome.failure = why;
    return outcome;
}

} // namespace

QStringList handOverArguments(const HandOverRequest &request)
{
    QStringList arguments{request.id, QDir::toNativeSeparators(request.archiveFolder)};
    for (const HandOverItem &item : request.items) {
        arguments << QLatin1String(tokenOf(item.component)) + QLatin1Char('=') +
                         QString::number(parseVersion(item.offered).value_or(0));
    }
    return arguments;
}

Result<HandOverRequest> parseHandOver(const QStringList &arguments)
{
    static const QRegularExpression idForm(QStringLiteral("^[0-9a-f]{32}$"));
    if (arguments.size() < 3) {
        return malformed(QStringLiteral("too few arguments"));
    }
    HandOverRequest request{arguments.at(0), QDir::fromNativeSeparators(arguments.at(1)), {}};
    if (!idForm.match(request.id).hasMatch()) {
        return malformed(QStringLiteral("\"%1\" is no hand-over id").arg(request.id));
    }
    if (!QDir::isAbsolutePath(request.archiveFolder)) {
        return malformed(QStringLiteral("\"%1\" is no absolute folder").arg(arguments.at(1)));
    }
    for (const QString &argument : arguments.mid(2)) {
        const std::optional<Component> component = componentOf(argument.section(u'=', 0, 0));
        const QString offered = argument.section(u'=', 1);
        if (!component || !parseVersion(offered)) {
            return malformed(QStringLiteral("\"%1\" names no component and version").arg(argument));
        }
        const HandOverItem item{*component, offered};
        if (std::any_of(
                request.items.begin(), request.items.end(),
                [&item](const HandOverItem &seen) { return seen.component == item.component; })) {
            return malformed(QStringLiteral("\"%1\" is named twice").arg(argument));
        }
        request.items.append(item);
    }
    return request;
}

QString handOverFolder(const QString &productWorkFolder)
{
    return QDir(productWorkFolder).filePath(QLatin1String(kHandOverFolder));
}

QString handOverResultPath(const QString &productWorkFolder)
{
    return QDir(handOverFolder(productWorkFolder)).filePath(QStringLiteral("result.json"));
}

QString handOverLogPath(const QString &productWorkFolder)
{
    return QDir(handOverFolder(productWorkFolder)).filePath(QStringLiteral("last-run.log"));
}

Status writeHandOverResult(const QString &path, const QString &id,
                           const QList<HandOverOutcome> &outcomes)
{
    QJsonArray list;
    for (const HandOverOutcome &outcome : outcomes) {
        list.append(toJson(outcome));
    }
    const QJsonObject root{{QStringLiteral("id"), id}, {QStringLiteral("outcomes"), list}};
    return writeDurably(toPath(path), QJsonDocument(root).toJson());
}

Result<QList<HandOverOutcome>> readHandOverResult(const QString &path, const QString &id)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return fileFailure(FailureKind::Disk, path,
                           QStringLiteral("no result of the elevated install step"),
                           file.errorString());
    }
    const QJsonObject root = QJsonDocument::fromJson(file.read(kMaxResultBytes)).object();
    if (root.value(QLatin1String("id")).toString() != id) {
        return fileFailure(FailureKind::Disk, path,
                           QStringLiteral("the elevated install step left no result of its own"),
                           {});
    }
    QList<HandOverOutcome> outcomes;
    const QJsonArray list = root.value(QLatin1String("outcomes")).toArray();
    for (const auto &value : list) {
        const std::optional<HandOverOutcome> outcome = fromJson(value.toObject());
        if (!outcome) {
            return fileFailure(FailureKind::Disk, path,
                               QStringLiteral("the elevated install step's result is malformed"),
                               {});
        }
        outcomes.append(*outcome);
    }
    return outcomes;
}

QString localWorkFolder(const QString &root, const QString &appFolder)
{
    QString path = QDir::cleanPath(QFileInfo(appFolder).absoluteFilePath());
#ifdef Q_OS_WIN
    // One folder, however the path's case is written.
    path = path.toLower();
#endif
    const QByteArray hash = QCryptographicHash::hash(path.toUtf8(), QCryptographicHash::Sha256);
    static const QRegularExpression unsafe(QStringLiteral("[^A-Za-z0-9._-]"));
    QString name = QFileInfo(path).fileName().replace(unsafe, QStringLiteral("_")).left(40);
    if (name.isEmpty()) {
        name = QStringLiteral("product");
    }
    return QDir(root).filePath(name + u'-' + QString::fromLatin1(hash.toHex().left(16)));
}

QString defaultLocalWorkRoot()
{
    // %LOCALAPPDATA% on Windows: a user's own, not roamed.
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation))
        .filePath(QStringLiteral("Freshgate/work"));
}

QString windowsCommandLine(const QStringList &arguments)
{
    QStringList quoted;
    for (const QString &argument : arguments) {
        if (!argument.isEmpty() &&
            !argument.contains(QRegularExpression(QStringLiteral("[\\s\"]")))) {
            quoted << argument;
            continue;
        }
        QString text = QStringLiteral("\"");
        qsizetype backslashes = 0;
        for (const QChar c : argument) {
            if (c == u'\\') {
                ++backslashes;
                continue;
            }
            // Backslashes count only before a quote: doubled there, and the quote escaped.
            text += QString(c == u'"' ? backslashes * 2 + 1 : backslashes, u'\\');
            backslashes = 0;
            text += c;
        }
        text += QString(backslashes * 2, u'\\') + u'"';
        quoted << text;
    }
    return quoted.join(u' ');
}

} // namespace freshgate
