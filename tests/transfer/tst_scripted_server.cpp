// The scripted server fails the test function that let a request nobody expected through, by
// itself: run here on a test of its own in a child process, whose failure is what is checked.
#include "support/Process.h"
#include "support/ScriptedServer.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTest>

using freshgate::test::ProcessOptions;
using freshgate::test::ProcessRun;
using freshgate::test::runProcess;
using freshgate::test::ScriptedResponse;
using freshgate::test::ScriptedServer;

namespace {

const char *const kChildVariable = "FRESHGATE_SCRIPTED_SERVER_CHILD";

// Fetches path from server and waits for the answer.
void get(const ScriptedServer &server, const QString &path)
{
    QNetworkAccessManager network;
    QNetworkReply *reply = network.get(QNetworkRequest(QUrl(server.url(path))));
    QTRY_VERIFY_WITH_TIMEOUT(reply->isFinished(), 10000);
    delete reply;
}

} // namespace

// Runs in the child: one test that asks only for what it expects, one that does not.
class ChildTests : public QObject {
    Q_OBJECT

private slots:
    void expectedOnly()
    {
        ScriptedServer server;
        server.expect("GET", "/wanted", ScriptedResponse::ok("here"));
        get(server, QStringLiteral("/wanted"));
    }

    void unexpected()
    {
        ScriptedServer server;
        get(server, QStringLiteral("/nobody"));
        QCOMPARE(server.unexpectedRequests().size(), 1);
    }
};

class TestScriptedServer : public QObject {
    Q_OBJECT

private slots:
    void failsTheTestOnAnUnexpectedRequest()
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QLatin1String(kChildVariable), QStringLiteral("1"));
        const ProcessRun child = runProcess(QCoreApplication::applicationFilePath(), {},
                                            ProcessOptions().withEnvironment(environment));
        QVERIFY2(child.finished, qPrintable(child.error));
        QCOMPARE(child.exitCode, 1); // one failed test function
        const QString out = QString::fromLocal8Bit(child.out);
        QVERIFY2(out.contains(QLatin1String("PASS   : ChildTests::expectedOnly()")),
                 qPrintable(out));
        QVERIFY2(out.contains(QLatin1String("FAIL!  : ChildTests::unexpected() a request nobody "
                                            "expected came: GET /nobody")),
                 qPrintable(out));
    }
};

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariableIsSet(kChildVariable)) {
        ChildTests child;
        return QTest::qExec(&child, argc, argv);
    }
    TestScriptedServer test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_scripted_server.moc"
