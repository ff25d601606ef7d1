// End-to-end tests of the built executable, run as a user would run it: a
// folder with a copy of the program and its vorlune.ini, a music tree, the
// offscreen platform, a protocol client on loopback, the log read from
// standard output (a pipe, or a terminal that stops reading), a termination
// signal at the end and the settings file checked.

#include "ProtocolClient.h"
#include "ServerRun.h"
#include "protocol/Wire.h"

#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

using namespace E2E;

namespace {

// The .mp3 files below root in serving order: a folder's own files first,
// then its subfolders, each listing in case-insensitive name order.
QStringList expectedSongs(const QString &root, const QString &rel = QString())
{
    const QDir dir(root + rel);
    QStringList result;
    for (const QString &f : dir.entryList({"*.mp3"}, QDir::Files, QDir::Name | QDir::IgnoreCase))
        result << rel + "/" + f;
    for (const QString &d : dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase))
        result << expectedSongs(root, rel + "/" + d);
    return result;
}

} // namespace

class EndToEnd : public QObject {
    Q_OBJECT
private slots:
    void firstStartWithoutSettingsFile();
    void clientSessionAgainstSampleMusic();
    void portTakenAtStartUp();
    void aTerminalThatStopsReadingStopsNothing();
};

void EndToEnd::firstStartWithoutSettingsFile()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    ServerRun run(dir.path());
    QVERIFY(run.start());

    // With no settings the port field holds 15150 and the address is picked.
    const int auto_ = run.waitForLine(QRegularExpression("^No IP Selected\\.  Auto-Selecting \\S+$"));
    QVERIFY2(auto_ >= 0, qPrintable(run.lines().join('\n')));
    QVERIFY2(run.waitForLine(QRegularExpression("^(Listening on .* - 15150|ERROR \\(listen port\\): .*)$"),
                             auto_)
                     >= 0,
             qPrintable(run.lines().join('\n')));
    // No music folder: no scan, so no song count is logged.
    QVERIFY(!run.lines().join('\n').contains("Songs Available: "));

    // The terminal of a server in the foreground closes: the exit work runs.
    int code = -1;
    QVERIFY(run.terminate(&code, SIGHUP));
    QCOMPARE(code, 0);
    // The picked address is not the operator's choice: the next start, on a
    // machine whose address may have changed, picks again.
    QCOMPARE(readFile(run.iniPath()), settingsText("", "15150", ""));
}

void EndToEnd::clientSessionAgainstSampleMusic()
{
    const QString music = QStringLiteral(VORLUNE_SOURCE_DIR "/samples/music");
    const QStringList songs = expectedSongs(music);
    QVERIFY2(songs.size() >= 3, "the bundled sample music is missing");

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    ServerRun run(dir.path());
    const QByteArray ini = settingsText("127.0.0.1", "0", music);
    QVERIFY(writeFile(run.iniPath(), ini));
    QVERIFY(run.start());

    const int port = run.listeningPort();
    QVERIFY2(port > 0, qPrintable(run.lines().join('\n')));
    // Start-up order: the scan completes before the listener opens.
    const QStringList log = run.lines();
    const auto songsLine = log.indexOf("Songs Available: " + QString::number(songs.size()) + "\r\n");
    const int listenLine = run.waitForLine(QRegularExpression("^Listening on "));
    QVERIFY2(songsLine >= 0 && songsLine < listenLine, qPrintable(log.join('\n')));

    ProtocolClient c;
    QVERIFY(c.connectTo(port));

    QByteArray expectedList;
    for (const QString &s : songs)
        expectedList += QString(s).replace('/', '\\').toUtf8() + "\r\n";

    c.send("SLLEN\r\n");
    QCOMPARE(c.read(10), Wire::lengthReply(expectedList.size()));

    c.send("SLIST\r\n");
    QCOMPARE(c.read(expectedList.size()), expectedList);

    for (int n : {1, int(songs.size())}) {
        const QByteArray song = readFile(music + songs[n - 1]);
        QVERIFY(!song.isEmpty() && song != "<missing>");
        c.send("SONG " + QByteArray::number(n) + "\r\n");
        QCOMPARE(c.read(Wire::kFileHeaderSize),
                 Wire::fileHeader(song.size(), songs[n - 1].mid(1).replace('/', '\\').toUtf8()).value());

        c.send("READY\r\n");
        QCOMPARE(c.read(song.size()), song);
    }

    c.send("SYNC \r\n");
    QCOMPARE(c.read(1), QByteArray("!"));

    // Exit with two clients connected: their connections end, nothing is sent.
    ProtocolClient idle;
    QVERIFY(idle.connectTo(port));
    QVERIFY(run.waitForLine(QRegularExpression("^Accepted to 127\\.0\\.0\\.1 - "
                                               + QString::number(idle.socket.localPort()) + "$"))
            >= 0);
    int code = -1;
    QVERIFY(run.terminate(&code));
    QCOMPARE(code, 0);
    QVERIFY(c.endedSilently());
    QVERIFY(idle.endedSilently());
    QCOMPARE(readFile(run.iniPath()), ini);
}

void EndToEnd::portTakenAtStartUp()
{
    QTcpServer squatter;
    QVERIFY(squatter.listen(QHostAddress::LocalHost, 0));

    // Run as a service: the journal stamps the lines, and no runtime folder
    // is set (Qt's complaint about it means nothing to an operator).
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    qputenv("JOURNAL_STREAM", "8:12345");
    qunsetenv("XDG_RUNTIME_DIR");
    const auto restore = qScopeGuard([&] {
        qunsetenv("JOURNAL_STREAM");
        if (!runtime.isEmpty())
            qputenv("XDG_RUNTIME_DIR", runtime);
    });
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    ServerRun run(dir.path());
    const QByteArray ini = settingsText("127.0.0.1", QString::number(squatter.serverPort()), "");
    QVERIFY(writeFile(run.iniPath(), ini));
    QVERIFY(run.start());

    QVERIFY2(run.waitForLine(QRegularExpression("^ERROR \\(listen port\\):  10048 - .+")) >= 0,
             qPrintable(run.lines().join('\n')));
    QVERIFY(!run.lines().join('\n').contains("Listening on "));
    QVERIFY(run.running());

    int code = -1;
    QVERIFY(run.terminate(&code));
    QCOMPARE(code, 0);
    QCOMPARE(readFile(run.iniPath()), ini);
    const QByteArray errors = run.process().readAllStandardError();
    QVERIFY2(!errors.contains("QStandardPaths"), errors.constData());
}

void EndToEnd::aTerminalThatStopsReadingStopsNothing()
{
    // Standard output is a terminal that is read until the server listens
    // and then no more, as after Ctrl+S or in a stalled SSH session.
    int master = -1, slave = -1;
    termios raw = {};
    ::cfmakeraw(&raw); // lines arrive as written, "\n" not turned into CR LF
    QCOMPARE(::openpty(&master, &slave, nullptr, &raw, nullptr), 0);
    const auto closeBoth = qScopeGuard([&] {
        ::close(master);
        ::close(slave);
    });
    for (int fd : {master, slave})
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    ::fcntl(master, F_SETFL, O_NONBLOCK);
    QByteArray shown;
    QStringList entries;
    const auto readTerminal = [&](const QRegularExpression &until) {
        QElapsedTimer timer;
        timer.start();
        for (;;) {
            char buffer[65536];
            for (ssize_t n; (n = ::read(master, buffer, sizeof buffer)) > 0;)
                shown.append(buffer, n);
            for (qsizetype end; (end = shown.indexOf('\n')) >= 0; shown.remove(0, end + 1))
                entries << ServerRun::logEntry(shown.left(end), true);
            if (!entries.isEmpty() && until.match(entries.last()).hasMatch())
                return true;
            pollfd readable{master, POLLIN, 0};
            if (timer.elapsed() > kTimeoutMs || ::poll(&readable, 1, 200) < 0)
                return false;
        }
    };

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    ServerRun run(dir.path());
    QVERIFY(writeFile(run.iniPath(), "127.0.0.1\n0\n\n")); // LF only: a save writes CR LF
    run.process().setChildProcessModifier([slave] { ::dup2(slave, STDOUT_FILENO); });
    QVERIFY(run.start());
    QVERIFY2(readTerminal(QRegularExpression("^Listening on 127\\.0\\.0\\.1 - \\d+$")),
             qPrintable(entries.join('\n')));
    const int port = entries.last().section(' ', -1).toInt();
    const qsizetype started = entries.size();

    // Each round logs two entries of about 2 KB: far more than a terminal
    // holds unread. Every one is still answered.
    ProtocolClient c;
    QVERIFY(c.connectTo(port));
    const int rounds = 300;
    const auto talk = [&] {
        for (int i = 0; i < rounds; ++i) {
            c.send("SYNC " + QByteArray(2000, 'x') + "\r\n");
            if (c.read(1) != "!")
                return false;
        }
        return true;
    };
    QVERIFY2(talk(), "the server stopped answering while its terminal was not read");

    // Read again: the line cut short is finished, then the count of dropped
    // lines (the terminal may have taken some output in between by itself).
    const QRegularExpression notice(
            "^\\((\\d+) log lines dropped: standard output was not accepting them\\)$");
    QVERIFY2(readTerminal(notice), qPrintable(entries.mid(started).join('\n').right(2000)));
    // Every line shown is a whole entry of this session.
    const QRegularExpression whole(
            "^(Connection Request on Winsock # 0|Accepted (on|to) 127\\.0\\.0\\.1 - \\d+"
            "| 1 - 127\\.0\\.0\\.1 - (Recv=[\\d,]+ bytes|msg=\\[(SYNC )?x*(\\r\\n)?\\]))$");
    qint64 shownRounds = 0, dropped = 0;
    for (const QString &entry : entries.mid(started)) {
        const QRegularExpressionMatch counted = notice.match(entry);
        QVERIFY2(counted.hasMatch() || whole.match(entry).hasMatch(), qPrintable(entry.left(200)));
        dropped += counted.captured(1).toLongLong();
        shownRounds += entry.contains(" - Recv=") + entry.contains(" - msg=[");
    }
    QVERIFY2(dropped > 0 && shownRounds + dropped >= 2 * rounds,
             qPrintable(QStringLiteral("%1 shown, %2 dropped").arg(shownRounds).arg(dropped)));
    qInfo("%lld log lines dropped while the terminal was not read, %lld shown", dropped, shownRounds);

    // Stalled once more, a termination signal still runs the exit work.
    QVERIFY2(talk(), "the server stopped answering while its terminal was not read");
    int code = -1;
    QVERIFY(run.terminate(&code));
    QCOMPARE(code, 0);
    QCOMPARE(readFile(run.iniPath()), settingsText("127.0.0.1", "0", ""));
}

QTEST_GUILESS_MAIN(EndToEnd)
#include "tst_e2e.moc"
