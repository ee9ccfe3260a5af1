// The Windows publisher's CabinetWriter, over Windows' own cabinet.dll, run under Wine: what it
// writes, the product's own extractor reads back whole under the names given, with the flags
// the publisher set; what it cannot store it refuses, adding nothing, and it never writes over a
// file that is already there.
#include "base/Result.h"
#include "platform/CabinetExtractor.h"
#include "publish/CabinetWriter.h"
#include "support/Files.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>

using namespace freshgate;
using namespace freshgate::test;

namespace {

// What CFFILE's attributes hold beyond what the publisher asks for: a name stored as UTF-8.
constexpr quint16 kNameIsUtf8 = 0x80;
constexpr quint16 kArchive = 0x20;
constexpr quint16 kExecutable = 0x40;

quint32 littleEndian(const QByteArray &bytes, qsizetype at, int size)
{
    quint32 value = 0;
    for (int i = size - 1; i >= 0; --i) {
        value = (value << 8) | static_cast<quint8>(bytes.at(at + i));
    }
    return value;
}

// Each member's attributes as the cabinet stores them, by its name as stored. The header holds
// the offset of the first CFFILE at 16 and their count at 28; each CFFILE is two 32-bit and four
// 16-bit fields (attributes last) and then its zero-terminated name.
QMap<QString, quint16> storedAttributes(const QByteArray &cabinet)
{
    QMap<QString, quint16> attributes;
    if (cabinet.size() < 36 || !cabinet.startsWith("MSCF")) {
        return attributes;
    }
    qsizetype at = littleEndian(cabinet, 16, 4);
    const quint32 count = littleEndian(cabinet, 28, 2);
    for (quint32 i = 0; i < count && at + 16 < cabinet.size(); ++i) {
        const quint16 bits = static_cast<quint16>(littleEndian(cabinet, at + 14, 2));
        const qsizetype end = cabinet.indexOf('\0', at + 16);
        if (end < 0) {
            break;
        }
        const QByteArray name = cabinet.mid(at + 16, end - at - 16);
        attributes.insert(
            (bits & kNameIsUtf8) != 0 ? QString::fromUtf8(name) : QString::fromLatin1(name), bits);
        at = end + 1;
    }
    return attributes;
}

bool isAscii(const QString &text)
{
    return std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.unicode() < 0x80; });
}

// What a cabinet cannot hold, or where it must not be written.
enum class Unstorable { DuplicateName, EmptyName, FolderAsSource, NameTooLong, OutputExists };

// A cabinet's members by name, with their content.
using Contents = QMap<QString, QByteArray>;

} // namespace

Q_DECLARE_METATYPE(Unstorable)

class WineCabinetWriter : public QObject {
    Q_OBJECT

private slots:
    void writesWhatTheExtractorReads_data();
    void writesWhatTheExtractorReads();
    void refusesWhatItCannotStore_data();
    void refusesWhatItCannotStore();
};

void WineCabinetWriter::writesWhatTheExtractorReads_data()
{
    QTest::addColumn<Contents>("members");
    QTest::addColumn<QStringList>("executables");
    QTest::addColumn<bool>("longSourcePath");

    QTest::newRow("blocks, folders, an empty file")
        << Contents{{QStringLiteral("prices.dat"), "prices, version 2\r\n"},
                    {QStringLiteral("maps/north/tiles.bin"), randomBytes(300000)},
                    {QStringLiteral("maps/rows.txt"), patternBytes(100000)},
                    {QStringLiteral("empty.dat"), QByteArray()}}
        << QStringList() << false;
    QTest::newRow("names the ANSI code page cannot spell")
        << Contents{{QStringLiteral("Prüfliste ä.txt"), "geprüft\r\n"},
                    {QStringLiteral("Ørvane 更新/ü.dat"), "ü\r\n"}}
        << QStringList() << false;
    QTest::newRow("a program, flagged executable")
        << Contents{{QStringLiteral("Orvane4.exe"), "MZ program"},
                    {QStringLiteral("Orvane4.res"), "resources"}}
        << QStringList{QStringLiteral("Orvane4.exe")} << false;
    // Longer than the 260 characters of a plain Windows path, and than FCI's 256-byte names.
    QTest::newRow("sources below a long path")
        << Contents{{QStringLiteral("deep.dat"), patternBytes(70000)}} << QStringList() << true;
}

void WineCabinetWriter::writesWhatTheExtractorReads()
{
    QFETCH(Contents, members);
    QFETCH(QStringList, executables);
    QFETCH(bool, longSourcePath);

    QTemporaryDir root;
    QVERIFY(root.isValid());
    QString sources = root.filePath(QStringLiteral("Quellen Ü 更新"));
    while (longSourcePath && sources.size() < 300) {
        sources += QStringLiteral("/a folder with a rather long name, ünïcode too");
    }
    CabinetWriter writer;
    for (auto it = members.cbegin(); it != members.cend(); ++it) {
        const QString source = sources + u'/' + it.key();
        QVERIFY2(writeFile(source, it.value()), qPrintable(source));
        CabinetWriter::Attributes attributes = CabinetWriter::Attribute::Archive;
        if (executables.contains(it.key())) {
            attributes |= CabinetWriter::Attribute::Executable;
        }
        const Status added = writer.addFile(it.key(), source, attributes);
        QVERIFY2(added.ok(), qPrintable(it.key()));
    }
    const QString cabinet = root.filePath(QStringLiteral("Ausgabe ß/out.cab"));
    QVERIFY(QDir().mkpath(QFileInfo(cabinet).path()));
    const Status written = writer.write(cabinet);
    QVERIFY2(written.ok(), qPrintable(written.message()));

    CabinetExtractor extractor;
    extractor.setCabinetFile(cabinet);
    const QString staging = root.filePath(QStringLiteral("staging"));
    const Result<std::vector<StagedMember>> extracted = extractor.extract(staging);
    QVERIFY2(extracted.ok(), qPrintable(extracted.message()));
    Contents readBack;
    for (const StagedMember &member : extracted.value()) {
        readBack.insert(member.rel, readFile(QDir(staging).filePath(member.staged)));
    }
    QCOMPARE(readBack, members);

    // Folders are stored with "\", as Windows names them.
    const QMap<QString, quint16> stored = storedAttributes(readFile(cabinet));
    QCOMPARE(stored.size(), members.size());
    for (auto it = members.cbegin(); it != members.cend(); ++it) {
        const QString name = QString(it.key()).replace(u'/', u'\\');
        QVERIFY2(stored.contains(name), qPrintable(name));
        const quint16 bits = stored.value(name);
        QCOMPARE((bits & kArchive) != 0, true);
        QCOMPARE((bits & kExecutable) != 0, executables.contains(it.key()));
        QCOMPARE((bits & kNameIsUtf8) != 0, !isAscii(name));
    }
}

void WineCabinetWriter::refusesWhatItCannotStore_data()
{
    QTest::addColumn<Unstorable>("unstorable");

    QTest::newRow("a name twice") << Unstorable::DuplicateName;
    QTest::newRow("an empty name") << Unstorable::EmptyName;
    QTest::newRow("a folder as the source") << Unstorable::FolderAsSource;
    QTest::newRow("a name longer than a cabinet stores") << Unstorable::NameTooLong;
    QTest::newRow("a cabinet already there") << Unstorable::OutputExists;
}

void WineCabinetWriter::refusesWhatItCannotStore()
{
    QFETCH(Unstorable, unstorable);

    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString source = root.filePath(QStringLiteral("prices.dat"));
    QVERIFY(writeFile(source, "prices\r\n"));
    const QString cabinet = root.filePath(QStringLiteral("out.cab"));
    const CabinetWriter::Attributes archive = CabinetWriter::Attribute::Archive;
    CabinetWriter writer;
    bool added = writer.addFile(QStringLiteral("prices.dat"), source, archive).ok();
    QVERIFY(added);
    switch (unstorable) {
    case Unstorable::DuplicateName:
        added = writer.addFile(QStringLiteral("prices.dat"), source, archive).ok();
        break;
    case Unstorable::EmptyName:
        added = writer.addFile(QString(), source, archive).ok();
        break;
    case Unstorable::FolderAsSource:
        added = writer.addFile(QStringLiteral("folder"), root.path(), archive).ok();
        break;
    case Unstorable::NameTooLong:
        added = writer.addFile(QString(256, u'n'), source, archive).ok();
        break;
    case Unstorable::OutputExists:
        QVERIFY(writeFile(cabinet, "the maker's own file"));
        QVERIFY(!writer.write(cabinet).ok());
        QCOMPARE(readFile(cabinet), QByteArray("the maker's own file"));
        return;
    }
    QVERIFY(!added);
    // What was refused is not in the cabinet; what was added before is.
    QCOMPARE(writer.memberCount(), 1);
    const Status written = writer.write(cabinet);
    QVERIFY2(written.ok(), qPrintable(written.message()));
    QCOMPARE(storedAttributes(readFile(cabinet)).keys(), QStringList{QStringLiteral("prices.dat")});
}

QTEST_GUILESS_MAIN(WineCabinetWriter)
#include "tst_wine_cabinetwriter.moc"
