#pragma once
// The built executable run as a user would run it: a folder of its own with a
// copy of the program and its vorlune.ini, the offscreen platform, the log
// read from standard output. A run can be given arguments, a changed
// environment and another user to run as. Clients talk to it through
// ProtocolClient.

#include "AppFixture.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>

#include <cctype>
#include <csignal>
#include <grp.h>
#include <unistd.h>

namespace E2E {
inline constexpr int kTimeoutMs = 20000;

inline QByteArray settingsText(const QString &ip, const QString &port, const QString &folder)
{
    return (ip + "\r\n" + port + "\r\n" + folder + "\r\n").toUtf8();
}

// One run of the server in a folder of its own.
class ServerRun {
public:
    explicit ServerRun(const QString &dir) : mDir(dir)
    {
        mExe = mDir + "/vorlune-server";
        QFile::remove(mExe);
        if (!QFile::copy(QStringLiteral(VORLUNE_SERVER_EXECUTABLE), mExe))
            qFatal("cannot copy the executable");
        QFile::setPermissions(mExe, QFile::permissions(mExe) | QFileDevice::ExeOwner);
        mEnv = QProcessEnvironment::systemEnvironment();
        mEnv.insert("QT_QPA_PLATFORM", "offscreen");
    }
    ~ServerRun()
    {
        if (mProc.state() != QProcess::NotRunning) {
            mProc.kill();
            mProc.waitForFinished(kTimeoutMs);
        }
    }

    QString iniPath() const { return mDir + "/vorlune.ini"; }

    // The environment of the next start: the test's own with the offscreen
    // platform, until changed here.
    QProcessEnvironment &environment() { return mEnv; }

    // Runs the next start as this user and group, with no other groups
    // (needs root); what a user without root's rights would see.
    void runAs(uid_t uid, gid_t gid)
    {
        mProc.setChildProcessModifier([uid, gid] {
            if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)
                ::_exit(126);
        });
    }

    bool start(const QStringList &arguments = {})
    {
        mOut.clear();
        mProc.setProcessEnvironment(mEnv);
        mProc.setWorkingDirectory(mDir);
        mProc.start(mExe, arguments);
        return mProc.waitForStarted(kTimeoutMs);
    }

    // Waits for the program to end by itself; false if it has not within the
    // time limit or did not end normally.
    bool waitForExit(int *exitCode)
    {
        if (!mProc.waitForFinished(kTimeoutMs) || mProc.exitStatus() != QProcess::NormalExit)
            return false;
        *exitCode = mProc.exitCode();
        return true;
    }

    // Log entries so far, one per line of standard output.
    QStringList lines()
    {
        mOut += mProc.readAllStandardOutput();
        const bool stamped = !mProc.processEnvironment().contains("JOURNAL_STREAM");
        QStringList result;
        const QList<QByteArray> parts = mOut.split('\n');
        for (qsizetype i = 0; i + 1 < parts.size(); ++i) // the last part is unfinished
            result << logEntry(parts[i], stamped);
        return result;
    }

    // The entry a line of standard output carries: after the local time
    // (unless the journal stamps lines), with \r, \n and \xNN turned back
    // into the characters they stand for. A line not in that form comes back
    // marked, so that it matches nothing a test looks for.
    static QString logEntry(const QByteArray &line, bool stamped)
    {
        static const QRegularExpression stamp("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d ");
        const QString text = QString::fromUtf8(line);
        if (stamp.match(text).hasMatch() != stamped || line.contains('\r'))
            return "<not a log line> " + text;
        QByteArray entry;
        for (qsizetype i = stamped ? 20 : 0; i < line.size(); ++i) {
            const QByteArray rest = line.mid(i, 4);
            if (rest.startsWith("\\r") || rest.startsWith("\\n")) {
                entry += rest[1] == 'r' ? '\r' : '\n';
                ++i;
            } else if (rest.size() == 4 && rest.startsWith("\\x") && std::isxdigit(uchar(rest[2]))
                       && std::isxdigit(uchar(rest[3]))) {
                entry += QByteArray::fromHex(rest.mid(2));
                i += 3;
            } else {
                entry += line[i];
            }
        }
        return QString::fromUtf8(entry);
    }

    // Waits until a log line matching re has appeared; returns its index or -1.
    int waitForLine(const QRegularExpression &re, int from = 0)
    {
        QElapsedTimer timer;
        timer.start();
        for (;;) {
            const QStringList all = lines();
            for (int i = from; i < all.size(); ++i)
                if (re.match(all[i]).hasMatch())
                    return i;
            if (mProc.state() == QProcess::NotRunning || timer.elapsed() > kTimeoutMs)
                return -1;
            mProc.waitForReadyRead(200);
        }
    }

    // The port of the "Listening on <ip> - <port>" line; ipPattern is a
    // regular expression for the address shown.
    int listeningPort(const QString &ipPattern = "127\\.0\\.0\\.1")
    {
        const int i = waitForLine(QRegularExpression("^Listening on " + ipPattern + " - (\\d+)$"));
        return i < 0 ? -1 : lines().at(i).section(' ', -1).toInt();
    }

    // Ends the run with a signal, SIGTERM unless told otherwise.
    bool terminate(int *exitCode, int signalNumber = SIGTERM)
    {
        ::kill(pid_t(mProc.processId()), signalNumber);
        if (!mProc.waitForFinished(kTimeoutMs))
            return false;
        *exitCode = mProc.exitStatus() == QProcess::NormalExit ? mProc.exitCode() : -1;
        return true;
    }

    bool running() const { return mProc.state() == QProcess::Running; }
    // For what the methods above do not cover (a standard output of the
    // test's own, standard error, the process id).
    QProcess &process() { return mProc; }

private:
    QString mDir;
    QString mExe;
    QProcess mProc;
    QProcessEnvironment mEnv;
    QByteArray mOut;
};

} // namespace E2E
