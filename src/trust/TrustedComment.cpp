#include "trust/TrustedComment.h"

#include "trust/MinisignFormat.h"

#include <QList>

namespace freshgate::minisign {
namespace {

constexpr qsizetype kMaxNumberDigits = 18;

std::optional<qint64> wholeNumber(const QString &text)
{
    if (text.isEmpty() || text.size() > kMaxNumberDigits) {
        return std::nullopt;
    }
    for (const QChar c : text) {
        if (c < u'0' || c > u'9') {
            return std::nullopt;
        }
    }
    return text.toLongLong();
}

} // namespace

Result<CommentFields> parseComment(const QString &comment)
{
    CommentFields fields;
    QList<QString> seen;
    for (const QString &field : comment.split(u'\t')) {
        const qsizetype colon = field.indexOf(u':');
        if (colon <= 0) {
            continue;
        }
        const QString name = field.left(colon);
        const QString value = field.mid(colon + 1);
        std::optional<qint64> *number = nullptr;
        if (name == QLatin1String("timestamp")) {
            number = &fields.timestamp;
        } else if (name == QLatin1String("size")) {
            number = &fields.size;
        } else if (name == QLatin1String("expires")) {
            number = &fields.expires;
        } else if (name != QLatin1String("file") && name != QLatin1String("version")) {
            continue;
        }
        if (seen.contains(name)) {
            return failure(FailureKind::Signature,
                           QStringLiteral("the trusted comment names \"%1\" twice").arg(name));
        }
        seen.append(name);
        if (number) {
            *number = wholeNumber(value);
            if (!*number) {
                return failure(FailureKind::Signature,
                               QStringLiteral("the trusted comment's \"%1\" is not a whole number: "
                                              "\"%2\"")
                                   .arg(name, value));
            }
        } else if (name == QLatin1String("file")) {
            fields.file = value;
        } else {
            fields.version = value;
        }
    }
    return fields;
}

Result<QByteArray> formatComment(const CommentFields &fields)
{
    QByteArray comment = "timestamp:" + QByteArray::number(fields.timestamp.value_or(0));
    const auto add = [&comment](const char *name, const QString &value) {
        const QByteArray bytes = value.toUtf8();
        if (bytes.isEmpty() || bytes.contains('\t') || detail::hasControlCharacter(bytes)) {
            return false;
        }
        comment += '\t' + QByteArray(name) + ':' + bytes;
        return true;
    };
    if (fields.file && !add("file", *fields.file)) {
        return failure(
            FailureKind::Usage,
            QStringLiteral("\"%1\" cannot be named in a trusted comment").arg(*fields.file));
    }
    if (fields.version && !add("version", *fields.version)) {
        return failure(FailureKind::Usage,
                       QStringLiteral("the version \"%1\" cannot be named in a trusted comment")
                           .arg(*fields.version));
    }
    if (fields.size) {
        comment += "\tsize:" + QByteArray::number(*fields.size);
    }
    if (fields.expires) {
        comment += "\texpires:" + QByteArray::number(*fields.expires);
    }
    comment += "\tprehashed";
    if (comment.size() >=
        detail::kTrustedCommentMaxBytes - static_cast<qsizetype>(sizeof detail::kTrustedPrefix)) {
        return failure(FailureKind::Usage, QStringLiteral("the trusted comment is too long"));
    }
    return comment;
}

} // namespace freshgate::minisign
