#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <optional>

namespace freshgate::test {

// How a program run by runProcess() ended.
struct ProcessRun {
    bool finished = false; // it started and exited by itself within the time
    int exitCode = -1;     // -1 unless finished
    QByteArray out;        // standard output, or both channels when merged
    QByteArray err;
    QString error;   // why it did not finish
    QString command; // the program and its arguments

    [[nodiscard]] bool succeeded() const { return finished && exitCode == 0; }
    // "program args failed: why output", for a failure message.
    [[nodiscard]] QString failure() const;
};

// Set with the chained calls: ProcessOptions().withTimeout(5000).merged().
struct ProcessOptions {
    QString workingFolder;
    QByteArray input; // written to standard input, which is closed after it
    std::optional<QProcessEnvironment> environment;
    int timeoutMs = 60000;
    bool mergeChannels = false;

    ProcessOptions &withFolder(const QString &folder)
    {
        workingFolder = folder;
        return *this;
    }
    ProcessOptions &withInput(const QByteArray &bytes)
    {
        input = bytes;
        return *this;
    }
    ProcessOptions &withEnvironment(const QProcessEnvironment &env)
    {
        environment = env;
        return *this;
    }
    ProcessOptions &withTimeout(int ms)
    {
        timeoutMs = ms;
        return *this;
    }
    ProcessOptions &merged()
    {
        mergeChannels = true;
        return *this;
    }
};

// Runs program to its end (killing it after the time-out) and collects what it wrote.
[[nodiscard]] ProcessRun runProcess(const QString &program, const QStringList &arguments,
                                    const ProcessOptions &options = ProcessOptions());

} // namespace freshgate::test
