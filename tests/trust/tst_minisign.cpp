#include "support/Files.h"
#include "support/Process.h"
#include "trust/Minisign.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace minisign = freshgate::minisign;

using freshgate::FailureKind;
using freshgate::Result;
using freshgate::test::ProcessOptions;
using freshgate::test::ProcessRun;
using freshgate::test::readFile;
using freshgate::test::runProcess;
using freshgate::test::writeFile;

namespace {

// minisign derives the key of an encrypted secret key with scrypt at about 1 GiB and
// several seconds, so the tests derive it as few times as they can.
const QString kPassword = QStringLiteral("correct horse");

// Content that crosses the 64 KiB read size several times and ends mid-block.
QByteArray largeContent()
{
    QByteArray data;
    quint32 x = 2463534242u;
    while (data.size() < 3 * 65536 + 17) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        data.append(static_cast<char>(x & 0xff));
    }
    return data;
}

// The four lines of a signature or the two of a key file, with the final line break kept
// as an empty last element so joining gives back the same text.
QByteArray replaceLine(const QByteArray &text, int index, const QByteArray &line)
{
    QList<QByteArray> lines = text.split('\n');
    lines[index] = line;
    return lines.join('\n');
}

QByteArray removeLine(const QByteArray &text, int index)
{
    QList<QByteArray> lines = text.split('\n');
    lines.removeAt(index);
    return lines.join('\n');
}

// Decodes the base64 line at index, lets edit change the bytes, encodes it back.
template <typename Edit> QByteArray editBlob(const QByteArray &text, int index, Edit edit)
{
    QByteArray blob = QByteArray::fromBase64(text.split('\n').at(index));
    edit(blob);
    return replaceLine(text, index, blob.toBase64());
}

struct Signed {
    QByteArray content;
    QByteArray signature;
};

} // namespace

class TestMinisign : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void parsePublicKey_data();
    void parsePublicKey();
    void verifiesMinisignSignatures_data();
    void verifiesMinisignSignatures();
    void rejectsBadSignatures_data();
    void rejectsBadSignatures();
    void loadSecretKey_data();
    void loadSecretKey();
    void signFileVerifiesWithMinisign_data();
    void signFileVerifiesWithMinisign();
    void signFileRefuses_data();
    void signFileRefuses();
    void parseComment_data();
    void parseComment();

private:
    QString path(const QString &name) const { return m_dir.filePath(name); }
    bool runMinisign(const QStringList &args, const QByteArray &input,
                     QByteArray *output = nullptr);
    bool makeSignature(const QString &name, const QString &key, const QString &fileName,
                       const QByteArray &content, const QStringList &extra = {});
    minisign::PublicKey publicKey(const QString &key) const;
    QString writeSecretKeyVariant(const QString &name, const QString &from, int offset,
                                  const QByteArray &bytes);

    QTemporaryDir m_dir;
    QString m_minisign;
    QHash<QString, Signed> m_signed;
};

bool TestMinisign::runMinisign(const QStringList &args, const QByteArray &input, QByteArray *output)
{
    // minisign reads a password as a line of standard input when that is not a terminal.
    const ProcessRun run = runProcess(
        m_minisign, args, ProcessOptions().withInput(input).withTimeout(120000).merged());
    if (output) {
        *output = run.out;
    }
    return run.succeeded();
}

bool TestMinisign::makeSignature(const QString &name, const QString &key, const QString &fileName,
                                 const QByteArray &content, const QStringList &extra)
{
    const QString folder = path(QStringLiteral("signed-") + name);
    const QString file = folder + QLatin1Char('/') + fileName;
    if (!QDir().mkpath(folder) || !writeFile(file, content)) {
        return false;
    }
    const QByteArray input = key == QLatin1String("e") ? kPassword.toUtf8() + '\n' : QByteArray();
    QByteArray output;
    if (!runMinisign(QStringList{QStringLiteral("-S"), QStringLiteral("-s"),
                                 path(key + QStringLiteral(".sec")), QStringLiteral("-m"), file} +
                         extra,
                     input, &output)) {
        qWarning().noquote() << "minisign could not sign" << fileName << ":" << output;
        return false;
    }
    m_signed.insert(name, Signed{content, readFile(file + QStringLiteral(".minisig"))});
    return !m_signed.value(name).signature.isEmpty();
}

minisign::PublicKey TestMinisign::publicKey(const QString &key) const
{
    const Result<minisign::PublicKey> parsed =
        minisign::parsePublicKey(QString::fromUtf8(readFile(path(key + QStringLiteral(".pub")))));
    return parsed ? *parsed : minisign::PublicKey{};
}

QString TestMinisign::writeSecretKeyVariant(const QString &name, const QString &from, int offset,
                                            const QByteArray &bytes)
{
    const QByteArray text = editBlob(readFile(path(from)), 1, [&](QByteArray &blob) {
        blob.replace(offset, bytes.size(), bytes);
    });
    return writeFile(path(name), text) ? name : QString();
}

void TestMinisign::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_minisign = QStandardPaths::findExecutable(QStringLiteral("minisign"));
    QVERIFY2(!m_minisign.isEmpty(), "minisign is not installed (Debian package minisign)");

    QByteArray output;
    for (const QString &key : {QStringLiteral("a"), QStringLiteral("b")}) {
        QVERIFY2(runMinisign({QStringLiteral("-G"), QStringLiteral("-W"), QStringLiteral("-p"),
                              path(key + QStringLiteral(".pub")), QStringLiteral("-s"),
                              path(key + QStringLiteral(".sec"))},
                             {}, &output),
                 output.constData());
    }
    const QByteArray twice = kPassword.toUtf8() + '\n' + kPassword.toUtf8() + '\n';
    // Encrypted: minisign takes the password, twice, from standard input.
    QVERIFY2(runMinisign({QStringLiteral("-G"), QStringLiteral("-p"), path(QStringLiteral("e.pub")),
                          QStringLiteral("-s"), path(QStringLiteral("e.sec"))},
                         twice, &output),
             output.constData());

    const QString name = QStringLiteral("ov4arv.dat");
    const QByteArray manifest = "3\n12\n7\n4\n";
    QVERIFY(makeSignature(QStringLiteral("prehashed"), QStringLiteral("a"), name, manifest));
    QVERIFY(makeSignature(QStringLiteral("legacy"), QStringLiteral("a"), name, manifest,
                          {QStringLiteral("-l")}));
    QVERIFY(makeSignature(QStringLiteral("encrypted"), QStringLiteral("e"), name, manifest));
    QVERIFY(makeSignature(QStringLiteral("empty prehashed"), QStringLiteral("a"), name, {}));
    QVERIFY(makeSignature(QStringLiteral("empty legacy"), QStringLiteral("a"), name, {},
                          {QStringLiteral("-l")}));
    QVERIFY(makeSignature(QStringLiteral("large prehashed"), QStringLiteral("a"),
                          QStringLiteral("ov4res.cab"), largeContent()));
    QVERIFY(makeSignature(QStringLiteral("large legacy"), QStringLiteral("a"),
                          QStringLiteral("ov4res.cab"), largeContent(), {QStringLiteral("-l")}));
    QVERIFY(makeSignature(QStringLiteral("own comment"), QStringLiteral("a"), name, manifest,
                          {QStringLiteral("-t"), QStringLiteral("version:7\tfile:ov4arv.dat")}));
    QVERIFY(makeSignature(QStringLiteral("other name"), QStringLiteral("a"),
                          QStringLiteral("ov4res.cab"), manifest));
    QVERIFY(makeSignature(QStringLiteral("other key"), QStringLiteral("b"), name, manifest));
    QVERIFY(makeSignature(QStringLiteral("other content"), QStringLiteral("a"), name, "5\n1\n"));
    QVERIFY(makeSignature(QStringLiteral("no file"), QStringLiteral("a"), name, manifest,
                          {QStringLiteral("-t"), QStringLiteral("timestamp:1\tversion:3")}));
    QVERIFY(
        makeSignature(QStringLiteral("two files"), QStringLiteral("a"), name, manifest,
                      {QStringLiteral("-t"), QStringLiteral("file:ov4arv.dat\tfile:evil.dat")}));
    QVERIFY(makeSignature(QStringLiteral("name case"), QStringLiteral("a"), name, manifest,
                          {QStringLiteral("-t"), QStringLiteral("file:OV4ARV.DAT")}));
}

void TestMinisign::parsePublicKey_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("ok");

    const QByteArray file = readFile(path(QStringLiteral("a.pub")));
    const QByteArray line = file.split('\n').at(1);
    QTest::newRow("whole .pub file") << file << true;
    QTest::newRow("bare line") << line << true;
    QTest::newRow("bare line, CRLF and spaces") << "  " + line + "\r\n" << true;
    QTest::newRow("whole file, CRLF") << QByteArray(file).replace("\n", "\r\n") << true;
    QTest::newRow("empty") << QByteArray() << false;
    QTest::newRow("comment only") << file.split('\n').at(0) << false;
    QTest::newRow("not base64") << QByteArray("RWS*not a key*") << false;
    QTest::newRow("truncated") << line.left(line.size() - 4) << false;
    QTest::newRow("too long") << QByteArray(line).append("AAAA") << false;
    QTest::newRow("secret key file") << readFile(path(QStringLiteral("a.sec"))) << false;
    QTest::newRow("other algorithm")
        << editBlob(file, 1, [](QByteArray &blob) { blob[1] = 'x'; }) << false;
    QTest::newRow("key after a line that is not a comment") << "hello\n" + line << false;
    QTest::newRow("three lines") << file + file.split('\n').at(1) << false;
}

void TestMinisign::parsePublicKey()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, ok);

    const Result<minisign::PublicKey> key = minisign::parsePublicKey(QString::fromUtf8(text));
    QCOMPARE(key.ok(), ok);
    if (!ok) {
        QVERIFY(!key.message().isEmpty());
        return;
    }
    // The comment minisign writes names the key id as a little-endian number,
    // in hex without leading zeros.
    QByteArray id = key->keyId;
    std::reverse(id.begin(), id.end());
    QByteArray hex = id.toHex().toUpper();
    while (hex.size() > 1 && hex.startsWith('0')) {
        hex.remove(0, 1);
    }
    QVERIFY(readFile(path(QStringLiteral("a.pub"))).contains("public key " + hex + '\n'));
    QCOMPARE(key->key.size(), 32);
}

void TestMinisign::verifiesMinisignSignatures_data()
{
    QTest::addColumn<QString>("fixture");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<bool>("crlf");

    const QString name = QStringLiteral("ov4arv.dat");
    const QString a = QStringLiteral("a");
    QTest::newRow("prehashed") << QStringLiteral("prehashed") << a << name << false;
    QTest::newRow("legacy") << QStringLiteral("legacy") << a << name << false;
    QTest::newRow("encrypted key")
        << QStringLiteral("encrypted") << QStringLiteral("e") << name << false;
    QTest::newRow("empty file, prehashed")
        << QStringLiteral("empty prehashed") << a << name << false;
    QTest::newRow("empty file, legacy") << QStringLiteral("empty legacy") << a << name << false;
    QTest::newRow("large file, prehashed")
        << QStringLiteral("large prehashed") << a << QStringLiteral("ov4res.cab") << false;
    QTest::newRow("large file, legacy")
        << QStringLiteral("large legacy") << a << QStringLiteral("ov4res.cab") << false;
    QTest::newRow("own trusted comment") << QStringLiteral("own comment") << a << name << false;
    QTest::newRow("CRLF line ends") << QStringLiteral("prehashed") << a << name << true;
}

void TestMinisign::verifiesMinisignSignatures()
{
    QFETCH(QString, fixture);
    QFETCH(QString, key);
    QFETCH(QString, fileName);
    QFETCH(bool, crlf);

    const Signed item = m_signed.value(fixture);
    const QString file = path(QStringLiteral("check-") + fileName);
    QVERIFY(writeFile(file, item.content));
    QByteArray signature = item.signature;
    if (crlf) {
        signature.replace("\n", "\r\n");
    }

    const Result<QString> result = minisign::verifyFile(publicKey(key), file, signature, fileName);
    QVERIFY2(result.ok(), qPrintable(result.message()));
    const QByteArray comment = item.signature.split('\n').at(2).mid(17);
    QCOMPARE(*result, QString::fromUtf8(comment));
}

void TestMinisign::rejectsBadSignatures_data()
{
    QTest::addColumn<QByteArray>("content"); // of the file checked; a null array: no file
    QTest::addColumn<QByteArray>("signature");
    QTest::addColumn<QString>("reason");

    const Signed good = m_signed.value(QStringLiteral("prehashed"));
    const Signed legacy = m_signed.value(QStringLiteral("legacy"));
    const QByteArray content = good.content;
    const QByteArray sig = good.signature;
    const QString mismatch = QStringLiteral("does not match the content");
    const QString badComment = QStringLiteral("trusted comment's signature is not valid");
    const QString malformed = QStringLiteral("malformed signature");

    QTest::newRow("changed file, prehashed") << QByteArray("3\n13\n7\n4\n") << sig << mismatch;
    QTest::newRow("changed file, legacy")
        << QByteArray("3\n13\n7\n4\n") << legacy.signature << mismatch;
    QTest::newRow("byte appended") << content + ' ' << sig << mismatch;
    QTest::newRow("empty file") << QByteArray("") << sig << mismatch;
    QTest::newRow("no file") << QByteArray() << sig << QStringLiteral("cannot open");
    QTest::newRow("signature of another file")
        << content << m_signed.value(QStringLiteral("other name")).signature
        << QStringLiteral("is for \"ov4res.cab\", not \"ov4arv.dat\"");
    QTest::newRow("file name differs in case")
        << content << m_signed.value(QStringLiteral("name case")).signature
        << QStringLiteral("is for \"OV4ARV.DAT\"");
    QTest::newRow("trusted comment names no file")
        << content << m_signed.value(QStringLiteral("no file")).signature
        << QStringLiteral("names no file");
    QTest::newRow("trusted comment names two files")
        << content << m_signed.value(QStringLiteral("two files")).signature
        << QStringLiteral("more than one file");

    const QByteArray otherKey = m_signed.value(QStringLiteral("other key")).signature;
    QTest::newRow("signed by another key") << content << otherKey << QStringLiteral("another key");
    const QByteArray ourId = QByteArray::fromBase64(sig.split('\n').at(1)).mid(2, 8);
    QTest::newRow("another key, our key id written in")
        << content << editBlob(otherKey, 1, [&](QByteArray &b) { b.replace(2, 8, ourId); })
        << badComment;

    const QByteArray otherName = m_signed.value(QStringLiteral("other name")).signature;
    QTest::newRow("trusted comment renamed")
        << content << QByteArray(otherName).replace("file:ov4res.cab", "file:ov4arv.dat")
        << badComment;
    QTest::newRow("trusted comment edited")
        << content << QByteArray(sig).replace("timestamp:", "timestamp:1") << badComment;
    // The comment signature covers the file signature, so one cannot be swapped for another.
    const QByteArray otherLine =
        m_signed.value(QStringLiteral("other content")).signature.split('\n').at(1);
    QTest::newRow("file signature swapped")
        << content << replaceLine(sig, 1, otherLine) << badComment;
    // The algorithm bytes are outside both signatures; relabelling must still fail.
    QTest::newRow("legacy relabelled prehashed")
        << content << editBlob(legacy.signature, 1, [](QByteArray &b) { b[1] = 'D'; }) << mismatch;
    QTest::newRow("prehashed relabelled legacy")
        << content << editBlob(sig, 1, [](QByteArray &b) { b[1] = 'd'; }) << mismatch;
    QTest::newRow("unknown algorithm")
        << content << editBlob(sig, 1, [](QByteArray &b) { b[0] = 'X'; })
        << QStringLiteral("unsupported signature algorithm");

    QTest::newRow("empty signature") << content << QByteArray() << malformed;
    QTest::newRow("garbage text") << content << QByteArray("hello world\n") << malformed;
    QByteArray binary;
    for (int i = 0; i < 600; ++i) {
        binary.append(static_cast<char>((i * 37) & 0xff));
    }
    QTest::newRow("binary garbage") << content << binary << malformed;
    QTest::newRow("truncated") << content << sig.left(sig.size() / 2) << malformed;
    QTest::newRow("signature line cut short")
        << content << replaceLine(sig, 1, sig.split('\n').at(1).chopped(4)) << malformed;
    QTest::newRow("comment signature line cut short")
        << content << replaceLine(sig, 3, sig.split('\n').at(3).chopped(4)) << malformed;
    QTest::newRow("space inside base64")
        << content << replaceLine(sig, 1, QByteArray(sig.split('\n').at(1)).insert(20, ' '))
        << malformed;
    QTest::newRow("missing trusted comment line") << content << removeLine(sig, 2) << malformed;
    QTest::newRow("missing untrusted comment line") << content << removeLine(sig, 0) << malformed;
    QTest::newRow("trusted comment without its prefix")
        << content << QByteArray(sig).replace("trusted comment: ", "comment: ") << malformed;
    QTest::newRow("text after the signature") << content << sig + "extra\n" << malformed;
    // The untrusted comment is signed by nothing, so only the size limit stops a flood.
    QTest::newRow("oversized") << content
                               << replaceLine(sig, 0,
                                              "untrusted comment: " + QByteArray(20000, 'x'))
                               << QStringLiteral("larger than");
}

void TestMinisign::rejectsBadSignatures()
{
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, signature);
    QFETCH(QString, reason);

    const QString file = path(QStringLiteral("reject/ov4arv.dat"));
    QVERIFY(QDir().mkpath(path(QStringLiteral("reject"))));
    QFile::remove(file);
    if (!content.isNull()) {
        QVERIFY(writeFile(file, content));
    }

    const Result<QString> result = minisign::verifyFile(publicKey(QStringLiteral("a")), file,
                                                        signature, QStringLiteral("ov4arv.dat"));
    QVERIFY(!result.ok());
    QCOMPARE(result.kind(), FailureKind::Signature);
    QVERIFY2(result.message().contains(reason), qPrintable(result.message()));
}

void TestMinisign::loadSecretKey_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("matches"); // public key file it must match; empty: must fail
    QTest::addColumn<QString>("reason");
    // A key file that cannot be read is this computer's failure; one that is no key, the maker's.
    QTest::addColumn<FailureKind>("kind");

    const QString a = QStringLiteral("a.sec");
    const QString e = QStringLiteral("e.sec");
    QTest::newRow("unencrypted") << a << QString() << QStringLiteral("a.pub") << QString()
                                 << FailureKind::Usage;
    QTest::newRow("unencrypted, password ignored")
        << a << QStringLiteral("anything") << QStringLiteral("a.pub") << QString()
        << FailureKind::Usage;
    QTest::newRow("encrypted, right password")
        << e << kPassword << QStringLiteral("e.pub") << QString() << FailureKind::Usage;
    QTest::newRow("encrypted, wrong password")
        << e << QStringLiteral("correct horse ") << QString() << QStringLiteral("wrong password")
        << FailureKind::Usage;
    QTest::newRow("encrypted, no password")
        << e << QString() << QString() << QStringLiteral("a password is needed")
        << FailureKind::Usage;
    QTest::newRow("missing file") << QStringLiteral("none.sec") << QString() << QString()
                                  << QStringLiteral("cannot open") << FailureKind::Disk;
    QTest::newRow("public key file")
        << QStringLiteral("a.pub") << QString() << QString()
        << QStringLiteral("not a minisign secret key") << FailureKind::Usage;

    QByteArray cut = readFile(path(a));
    QVERIFY(writeFile(path(QStringLiteral("cut.sec")), cut.left(cut.size() - 10) + '\n'));
    QTest::newRow("truncated") << QStringLiteral("cut.sec") << QString() << QString()
                               << QStringLiteral("in base64") << FailureKind::Usage;
    QVERIFY(writeFile(path(QStringLiteral("big.sec")), QByteArray(10000, '\n')));
    QTest::newRow("too large") << QStringLiteral("big.sec") << QString() << QString()
                               << QStringLiteral("too large") << FailureKind::Usage;
    QTest::newRow("public half corrupted")
        << writeSecretKeyVariant(QStringLiteral("halves.sec"), a, 62 + 40, "\x01") << QString()
        << QString() << QStringLiteral("corrupt") << FailureKind::Usage;
    QTest::newRow("checksum that does not hold")
        << writeSecretKeyVariant(QStringLiteral("sum.sec"), a, 126, "\x01") << QString()
        << QString() << QStringLiteral("checksum") << FailureKind::Usage;
    QTest::newRow("unknown key derivation")
        << writeSecretKeyVariant(QStringLiteral("kdf.sec"), a, 2, "Xx") << QString() << QString()
        << QStringLiteral("unsupported key derivation") << FailureKind::Usage;
    QTest::newRow("unknown checksum")
        << writeSecretKeyVariant(QStringLiteral("chk.sec"), a, 4, "B3") << QString() << QString()
        << QStringLiteral("unsupported secret key checksum") << FailureKind::Usage;
    QTest::newRow("unknown algorithm")
        << writeSecretKeyVariant(QStringLiteral("alg.sec"), a, 0, "Xd") << QString() << QString()
        << QStringLiteral("unsupported secret key algorithm") << FailureKind::Usage;
    // memlimit of 1 TiB: refused before any memory is asked for.
    QTest::newRow("unreasonable derivation cost")
        << writeSecretKeyVariant(QStringLiteral("cost.sec"), e, 46,
                                 QByteArray::fromHex("0000000000010000"))
        << kPassword << QString() << QStringLiteral("unreasonable") << FailureKind::Usage;
}

void TestMinisign::loadSecretKey()
{
    QFETCH(QString, file);
    QFETCH(QString, password);
    QFETCH(QString, matches);
    QFETCH(QString, reason);
    QFETCH(FailureKind, kind);

    const Result<minisign::SecretKey> key = minisign::loadSecretKey(path(file), password);
    if (matches.isEmpty()) {
        QVERIFY(!key);
        QVERIFY2(key.message().contains(reason), qPrintable(key.message()));
        QCOMPARE(key.kind(), kind);
        if (kind == FailureKind::Disk) {
            QCOMPARE(key.failure().path, path(file));
        }
        return;
    }
    QVERIFY2(key, qPrintable(key.message()));
    const minisign::PublicKey pub = publicKey(matches.chopped(4));
    QCOMPARE(key->keyId, pub.keyId);
    QCOMPARE(key->secretKey.size(), 64);
    QCOMPARE(key->secretKey.right(32), pub.key);
}

void TestMinisign::signFileVerifiesWithMinisign_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("fileName");

    const QString a = QStringLiteral("a");
    QTest::newRow("manifest") << a << QByteArray("3\n12\n7\n4\n") << QStringLiteral("ov4arv.dat");
    QTest::newRow("empty file") << a << QByteArray() << QStringLiteral("ov4arv.dat");
    QTest::newRow("large file") << a << largeContent() << QStringLiteral("ov4res.cab");
    QTest::newRow("name with space and accent")
        << a << QByteArray("x") << QStringLiteral("ov4 r\u00e9s.cab");
    QTest::newRow("encrypted key")
        << QStringLiteral("e") << QByteArray("3\n12\n7\n4\n") << QStringLiteral("ov4arv.dat");
}

void TestMinisign::signFileVerifiesWithMinisign()
{
    QFETCH(QString, key);
    QFETCH(QByteArray, content);
    QFETCH(QString, fileName);

    const Result<minisign::SecretKey> secret = minisign::loadSecretKey(
        path(key + QStringLiteral(".sec")), key == QLatin1String("e") ? kPassword : QString());
    QVERIFY2(secret, qPrintable(secret.message()));
    QVERIFY(QDir().mkpath(path(QStringLiteral("sign"))));
    const QString file = path(QStringLiteral("sign/") + fileName);
    QVERIFY(writeFile(file, content));

    const qint64 before = QDateTime::currentSecsSinceEpoch();
    const Result<QByteArray> signature = minisign::signFile(*secret, file, {.file = fileName});
    const qint64 after = QDateTime::currentSecsSinceEpoch();
    QVERIFY2(signature, qPrintable(signature.message()));

    const QList<QByteArray> lines = signature->split('\n');
    QCOMPARE(lines.size(), 5);
    QCOMPARE(lines.at(0), QByteArray("untrusted comment: signature from freshgate-publish"));
    QVERIFY(lines.at(4).isEmpty());
    const QRegularExpression comment(QStringLiteral("^trusted comment: timestamp:(\\d+)\tfile:") +
                                     QRegularExpression::escape(fileName) +
                                     QStringLiteral("\tprehashed$"));
    const QRegularExpressionMatch match = comment.match(QString::fromUtf8(lines.at(2)));
    QVERIFY2(match.hasMatch(), lines.at(2).constData());
    QVERIFY(match.captured(1).toLongLong() >= before && match.captured(1).toLongLong() <= after);

    const QString sigFile = file + QStringLiteral(".minisig");
    QVERIFY(writeFile(sigFile, *signature));
    QByteArray output;
    // -H: minisign must see a prehashed signature, not fall back to the legacy form.
    QVERIFY2(runMinisign({QStringLiteral("-V"), QStringLiteral("-H"), QStringLiteral("-p"),
                          path(key + QStringLiteral(".pub")), QStringLiteral("-m"), file,
                          QStringLiteral("-x"), sigFile},
                         {}, &output),
             output.constData());
    QVERIFY2(output.contains("Signature and comment signature verified"), output.constData());

    const Result<QString> result = minisign::verifyFile(publicKey(key), file, *signature, fileName);
    QVERIFY2(result.ok(), qPrintable(result.message()));

    // And the real tool refuses it once the file changes, so the check above means something.
    QVERIFY(writeFile(file, content + 'x'));
    QVERIFY(!runMinisign({QStringLiteral("-V"), QStringLiteral("-p"),
                          path(key + QStringLiteral(".pub")), QStringLiteral("-m"), file,
                          QStringLiteral("-x"), sigFile},
                         {}));
}

void TestMinisign::signFileRefuses_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<bool>("present");
    QTest::addColumn<int>("corruptAt"); // byte of the secret key to flip; -1: none
    QTest::addColumn<QString>("reason");
    QTest::addColumn<FailureKind>("kind");

    const QString name = QStringLiteral("ov4arv.dat");
    QTest::newRow("missing file") << name << false << -1 << QStringLiteral("cannot open")
                                  << FailureKind::Disk;
    QTest::newRow("tab in name") << QStringLiteral("a\tfile:b") << true << -1
                                 << QStringLiteral("cannot be named") << FailureKind::Usage;
    QTest::newRow("line break in name") << QStringLiteral("a\nb") << true << -1
                                        << QStringLiteral("cannot be named") << FailureKind::Usage;
    QTest::newRow("empty name") << QString() << true << -1 << QStringLiteral("cannot be named")
                                << FailureKind::Usage;
    QTest::newRow("overlong name") << QString(9000, QLatin1Char('n')) << true << -1
                                   << QStringLiteral("too long") << FailureKind::Usage;
    QTest::newRow("key halves disagree")
        << name << true << 40 << QStringLiteral("malformed") << FailureKind::Usage;
    QTest::newRow("key cut short")
        << name << true << 64 << QStringLiteral("malformed") << FailureKind::Usage;
}

void TestMinisign::signFileRefuses()
{
    QFETCH(QString, fileName);
    QFETCH(bool, present);
    QFETCH(int, corruptAt);
    QFETCH(QString, reason);
    QFETCH(FailureKind, kind);

    Result<minisign::SecretKey> loaded = minisign::loadSecretKey(path(QStringLiteral("a.sec")), {});
    QVERIFY(loaded);
    minisign::SecretKey *key = &loaded.value();
    if (corruptAt >= 64) {
        key->secretKey.chop(1);
    } else if (corruptAt >= 0) {
        key->secretKey[corruptAt] = static_cast<char>(key->secretKey.at(corruptAt) ^ 1);
    }
    const QString file = path(QStringLiteral("refuse.dat"));
    QFile::remove(file);
    if (present) {
        QVERIFY(writeFile(file, "data"));
    }

    const Result<QByteArray> signature = minisign::signFile(*key, file, {.file = fileName});
    QVERIFY(!signature);
    QVERIFY2(signature.message().contains(reason), qPrintable(signature.message()));
    QCOMPARE(signature.kind(), kind);
}

void TestMinisign::parseComment_data()
{
    QTest::addColumn<QString>("comment");
    QTest::addColumn<QString>("version"); // "-": refused
    QTest::addColumn<qint64>("size");     // -1: none

    QTest::newRow("minisign's own")
        << QStringLiteral("timestamp:1\tfile:ov4res.cab\thashed") << QString() << qint64{-1};
    QTest::newRow("ours") << QStringLiteral("timestamp:1\tfile:a\tversion:12\tsize:96\tprehashed")
                          << QStringLiteral("12") << qint64{96};
    QTest::newRow("unknown fields left alone")
        << QStringLiteral("timestamp:1\tfile:a\tchannel:beta\tversion:3") << QStringLiteral("3")
        << qint64{-1};
    QTest::newRow("version twice")
        << QStringLiteral("file:a\tversion:1\tversion:2") << QStringLiteral("-") << qint64{-1};
    QTest::newRow("size not a number")
        << QStringLiteral("file:a\tsize:96 bytes") << QStringLiteral("-") << qint64{-1};
    QTest::newRow("negative expiry")
        << QStringLiteral("file:a\texpires:-5") << QStringLiteral("-") << qint64{-1};
}

// The maker's word must be unambiguous: a field given twice, or a number that is none, refuses.
void TestMinisign::parseComment()
{
    QFETCH(QString, comment);
    QFETCH(QString, version);
    QFETCH(qint64, size);
    const Result<minisign::CommentFields> fields = minisign::parseComment(comment);
    QCOMPARE(fields.ok(), version != QLatin1String("-"));
    if (!fields) {
        QCOMPARE(fields.kind(), freshgate::FailureKind::Signature);
        return;
    }
    QCOMPARE(fields->version.value_or(QString()), version);
    QCOMPARE(fields->size.value_or(-1), size);
}

QTEST_GUILESS_MAIN(TestMinisign)
#include "tst_minisign.moc"
