#include "protocol/MemberName.h"

#include <QTest>

using namespace freshgate;
using namespace Qt::StringLiterals;

class TestMemberName : public QObject {
    Q_OBJECT

private slots:
    void safeMemberPath_data();
    void safeMemberPath();
};

void TestMemberName::safeMemberPath_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("path");

    const auto good = [](const char *tag, const QString &name, const QString &path) {
        QTest::newRow(tag) << name << true << path;
    };
    const auto bad = [](const char *tag, const QString &name) {
        QTest::newRow(tag) << name << false << QString();
    };

    good("plain", u"Orvane4.exe"_s, u"Orvane4.exe"_s);
    good("backslash folder", u"Data\\sub\\table.dat"_s, u"Data/sub/table.dat"_s);
    good("slash folder", u"Data/table.dat"_s, u"Data/table.dat"_s);
    good("mixed separators", u"a\\b/c"_s, u"a/b/c"_s);
    good("dot component dropped", u"a\\.\\b"_s, u"a/b"_s);
    good("leading dot component", u".\\a"_s, u"a"_s);
    good("repeated separators", u"a\\\\b//c"_s, u"a/b/c"_s);
    good("hidden file", u".config"_s, u".config"_s);
    good("dots inside a name", u"a..b"_s, u"a..b"_s);
    good("leading dots", u"...a"_s, u"...a"_s);
    good("non-ASCII", u"café\\été.txt"_s, u"café/été.txt"_s);
    good("device-like but longer", u"console.txt"_s, u"console.txt"_s);
    good("COM with two digits", u"COM10"_s, u"COM10"_s);
    good("space inside", u"my file.txt"_s, u"my file.txt"_s);

    bad("empty", QString());
    bad("backslash absolute", u"\\x"_s);
    bad("slash absolute", u"/x"_s);
    bad("UNC", u"\\\\server\\share\\x"_s);
    bad("UNC with slashes", u"//server/share/x"_s);
    bad("device prefix", u"\\\\?\\C:\\x"_s);
    bad("device dot prefix", u"\\\\.\\PhysicalDrive0"_s);
    bad("drive relative", u"C:x"_s);
    bad("drive absolute", u"C:\\x"_s);
    bad("drive with slash", u"c:/x"_s);
    bad("parent", u".."_s);
    bad("parent then name", u"..\\evil"_s);
    bad("climbs out in the middle", u"a\\..\\..\\b"_s);
    bad("parent that stays inside", u"a/../b"_s);
    bad("parent at the end", u"a\\.."_s);
    bad("trailing backslash", u"a\\"_s);
    bad("trailing slash", u"a/"_s);
    bad("only a dot", u"."_s);
    bad("only separators and dots", u".\\.\\"_s);
    bad("trailing dot component", u"a\\."_s);
    bad("colon inside", u"a:b"_s);
    bad("alternate stream", u"file.txt:stream"_s);
    bad("star", u"a*b"_s);
    bad("question mark", u"a?b"_s);
    bad("quote", u"a\"b"_s);
    bad("less than", u"a<b"_s);
    bad("greater than", u"a>b"_s);
    bad("pipe", u"a|b"_s);
    bad("tab", u"a\tb"_s);
    bad("newline", u"a\nb"_s);
    bad("NUL character", u"a"_s + QChar(0) + u"b"_s);
    bad("trailing dot", u"a."_s);
    bad("trailing space in a folder", u"dir \\b"_s);
    bad("device", u"CON"_s);
    bad("device with extension", u"nul.txt"_s);
    bad("device any case", u"Com1.log"_s);
    bad("printer port", u"lpt9"_s);
    bad("device as folder", u"dir\\AUX\\x"_s);
}

void TestMemberName::safeMemberPath()
{
    QFETCH(QString, name);
    QFETCH(bool, accepted);
    QFETCH(QString, path);

    const freshgate::Result<QString> result = freshgate::safeMemberPath(name);
    QCOMPARE(result.ok(), accepted);
    if (accepted) {
        QCOMPARE(*result, path);
    } else {
        QVERIFY(!result.message().isEmpty());
        QCOMPARE(result.kind(), freshgate::FailureKind::Archive);
    }
}

QTEST_GUILESS_MAIN(TestMemberName)
#include "tst_membername.moc"
