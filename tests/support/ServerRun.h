#pragma once
// The built executable run as a user would run it: a folder of its own with a
// copy of the program and its vorlune.ini, the offscreen platform, the log
// read from standard output. Clients talk to it through ProtocolClient.

#include "AppFixture.h"
#include "ProtocolClient.h"

#include <QProcess>
#include <QRegularExpression>

#include <csignal>
#include <unistd.h>

namespace E2E {
inline constexpr int kTimeoutMs = 20000;

inline QByteArray settingsText(const QString &ip, const QString &port, const QString &folder)
{
    return (ip + "\r\n" + port + "\r\n" + folder + "\r\n").toUtf8();
}

class ServerRun {
public:
    explicit ServerRun(const QString &dir) : mDir(dir), mExe(dir + "/vorlune-server")
    {
        if (!QFile::copy(QStringLiteral(VORLUNE_SERVER_EXECUTABLE), mExe))
            qFatal("cannot copy the executable");
        env.insert("QT_QPA_PLATFORM", "offscreen");
    }
    ~ServerRun() { finish(SIGKILL); }

    QString iniPath() const { return mDir + "/vorlune.ini"; }

    bool start(const QStringList &arguments = {})
    {
        mOut.clear();
        process.setProcessEnvironment(env);
        process.start(mExe, arguments);
        return process.waitForStarted(kTimeoutMs);
    }

    // Sends the signal, if one is given, and waits for the end: the exit
    // code, or -1 when the program did not end normally within the limit.
    int finish(int signalNumber = 0)
    {
        if (process.state() == QProcess::NotRunning)
            return -1;
        if (signalNumber)
            ::kill(pid_t(process.processId()), signalNumber);
        const bool ended
                = process.waitForFinished(kTimeoutMs) && process.exitStatus() == QProcess::NormalExit;
        return ended ? process.exitCode() : -1;
    }

    // Log entries so far, one per whole line of standard output.
    QStringList lines()
    {
        mOut += process.readAllStandardOutput();
        return entries(mOut, !env.contains("JOURNAL_STREAM"));
    }

    // The entries the whole lines of output carry, after the local time
    // unless the journal stamps lines. A line not in that form comes back
    // marked, so that it matches nothing a test looks for.
    static QStringList entries(const QByteArray &output, bool stamped)
    {
        static const QRegularExpression stamp("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d ");
        QStringList result;
        const QList<QByteArray> parts = output.split('\n');
        for (qsizetype i = 0; i + 1 < parts.size(); ++i) { // the last part is unfinished
            const QString line = QString::fromUtf8(parts[i]);
            const bool wellFormed = stamp.match(line).hasMatch() == stamped && !line.contains('\r');
            result << (wellFormed ? line.mid(stamped ? 20 : 0) : "<not a log line> " + line);
        }
        return result;
    }

    // Waits until a log line matches the whole of re; returns its index, or
    // -1 once the time is up or the program has ended without one. The
    // event loop runs meanwhile (the test's own clients and sockets too).
    int waitForLine(const QString &re)
    {
        qsizetype found = -1;
        runEventsUntil(
                [&] {
                    return (found = lines().indexOf(QRegularExpression(re))) >= 0
                            || process.state() == QProcess::NotRunning;
                },
                kTimeoutMs);
        return int(found);
    }

    // The port of the "Listening on <ip> - <port>" line; ipPattern is a
    // regular expression for the address shown.
    int listeningPort(const QString &ipPattern = "127\\.0\\.0\\.1")
    {
        const int i = waitForLine("^Listening on " + ipPattern + " - (\\d+)$");
        return i < 0 ? -1 : lines().at(i).section(' ', -1).toInt();
    }

    QString log() { return lines().join('\n'); }

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment(); // of the next start
    QProcess process;

private:
    QString mDir;
    QString mExe;
    QByteArray mOut;
};

} // namespace E2E
