#include "support/Process.h"

#include <QProcess>

namespace freshgate::test {

QString ProcessRun::failure() const
{
    const QString why = finished ? QStringLiteral("exit code %1").arg(exitCode) : error;
    return QStringLiteral("%1 failed: %2 %3")
        .arg(command, why, QString::fromLocal8Bit(err.isEmpty() ? out : err));
}

ProcessRun runProcess(const QString &program, const QStringList &arguments,
                      const ProcessOptions &options)
{
    ProcessRun run;
    run.command = (QStringList{program} + arguments).join(QLatin1Char(' '));
    QProcess process;
    if (!options.workingFolder.isEmpty()) {
        process.setWorkingDirectory(options.workingFolder);
    }
    if (options.environment) {
        process.setProcessEnvironment(*options.environment);
    }
    if (options.mergeChannels) {
        process.setProcessChannelMode(QProcess::MergedChannels);
    }
    process.start(program, arguments);
    if (process.waitForStarted()) {
        process.write(options.input);
        process.closeWriteChannel();
        if (process.waitForFinished(options.timeoutMs)) {
            run.finished = process.exitStatus() == QProcess::NormalExit;
        } else {
            process.kill();
            process.waitForFinished();
        }
    }
    if (run.finished) {
        run.exitCode = process.exitCode();
    } else {
        run.error = process.errorString();
    }
    run.out = process.readAllStandardOutput();
    if (!options.mergeChannels) {
        run.err = process.readAllStandardError();
    }
    return run;
}

} // namespace freshgate::test
