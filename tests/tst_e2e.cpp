// End-to-end tests of the built executable, run as a user would run it: a
// folder with a copy of the program and its settings, the offscreen
// platform, protocol clients on loopback, the log read from standard output
// (a pipe, or a terminal that stops reading), a signal at the end and the
// settings file checked afterwards.

#include "ProtocolClient.h"
#include "ServerRun.h"
#include "app/Server.h"
#include "app/SettingsLocation.h"
#include "protocol/Wire.h"

#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>

using namespace E2E;

class EndToEnd : public QObject {
    Q_OBJECT
private slots:
    void commandLine();
    void configurationFolderFirstStartThenASession();
    void headlessStartThatCannotListenEnds();
    void aTerminalThatStopsReadingStopsNothing();
    void sharedOnlyAsTheOperatorSays();
};

void EndToEnd::commandLine()
{
    const QString usage = "Usage: vorlune-server \\[options\\]\n";
    const QString help = "^" + usage
            + "(.|\n)*--headless(.|\n)*--settings <FILE>(.|\n)*--wide-links(.|\n)*--allow <NETWORK>"
              "(.|\n)*--max-lines-per-host <N>";
    const QString lines = "^--max-lines-per-host takes a whole number from 1 to 100, not '%1'\\.\n\n";
    const QString version = "^"
            + QRegularExpression::escape(Server::applicationTitle() + " " + Server::versionText()) + "\n$";
    // Arguments, exit code, standard output and error (regular expressions).
    const std::tuple<QStringList, int, QString, QString> cases[] = {
            {{"-h"}, 0, help, "^$"},
            {{"-platform", "offscreen", "-style=fusion", "-reverse", "-v"}, 0, version, "^$"}, // Qt's own too
            {{"--bogus"}, 2, "^$", "^Unknown option 'bogus'\\.\n\n" + usage},
            {{"--headless", "--settings"}, 2, "^$", "^Missing value after '--settings'\\.\n\n" + usage},
            {{"--settings", ""}, 2, "^$", "^The settings file name is empty\\.\n\n" + usage},
            {{"/srv/music"}, 2, "^$", "^Unexpected argument '/srv/music'\\.\n\n" + usage},
            {{"--allow", "::1", "--allow", "1.2"},
             2,
             "^$",
             "^Not an address or a network for --allow: '1\\.2' "},
            {{"--max-lines-per-host", "0"}, 2, "^$", lines.arg(0) + usage},
            {{"--max-lines-per-host", "101"}, 2, "^$", lines.arg(101) + usage},
            {{"--max-lines-per-host", "1", "-v"}, 0, version, "^$"},
            {{"--max-lines-per-host", "100", "--allow", "fd00::/8", "--wide-links", "-v"}, 0, version, "^$"},
    };
    // A display that does not exist: the program would abort if it opened
    // the window system before reading its command line.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("WAYLAND_DISPLAY");
    env.insert("QT_QPA_PLATFORM", "xcb");
    env.insert("DISPLAY", ":4093");
    for (const auto &[arguments, code, expectedOut, expectedErr] : cases) {
        QProcess proc;
        proc.setProcessEnvironment(env);
        proc.start(QStringLiteral(VORLUNE_SERVER_EXECUTABLE), arguments);
        QVERIFY(proc.waitForFinished(kTimeoutMs) && proc.exitStatus() == QProcess::NormalExit);
        const QString out = proc.readAllStandardOutput(), err = proc.readAllStandardError();
        QVERIFY2(proc.exitCode() == code && QRegularExpression(expectedOut).match(out).hasMatch()
                         && QRegularExpression(expectedErr).match(err).hasMatch(),
                 qPrintable(arguments.join(' ') + " -> " + QString::number(proc.exitCode()) + out + err));
    }
}

void EndToEnd::configurationFolderFirstStartThenASession()
{
    // An installed copy keeps its settings out of its folder even where it
    // may write there (as root), unless a file is named; without a
    // configuration folder (no home) its own folder is the one place left.
    const QString home = "/home/u/.config/vorlune-server";
    QCOMPARE(chooseSettingsFile({}, "/usr/bin", true, true, home), home + "/vorlune.ini");
    QCOMPARE(chooseSettingsFile("/tmp/x.ini", "/usr/bin", true, true, home), QString("/tmp/x.ini"));
    QCOMPARE(chooseSettingsFile({}, "/usr/bin", false, true, {}), QString("/usr/bin/vorlune.ini"));

    // A copy whose folder cannot be written.
    QTemporaryDir dir, config;
    ServerRun run(dir.path());
    QVERIFY(writeFile(run.iniPath(), settingsText("127.0.0.1", "1", ""))); // not to be read
    const QFileDevice::Permissions open = QFile::permissions(dir.path());
    const auto restore = qScopeGuard([&] { QFile::setPermissions(dir.path(), open); }); // to remove it
    QVERIFY(QFile::setPermissions(dir.path(), QFileDevice::Permissions(0x5555)));       // read and enter only
    // Root writes any folder: the program then runs as nobody, with no other
    // groups, who may still create its configuration folder.
    if (::geteuid() == 0) {
        QVERIFY(QFile::setPermissions(config.path(), QFileDevice::Permissions(0x7777)));
        run.process.setChildProcessModifier([] {
            if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
                ::_exit(126);
        });
    }
    run.env.insert("XDG_CONFIG_HOME", config.path());
    // Run as a service: the journal stamps the lines, and no runtime folder
    // is set (Qt's complaint about it means nothing to an operator).
    run.env.insert("JOURNAL_STREAM", "8:12345");
    run.env.remove("XDG_RUNTIME_DIR");
    const QString ini = config.path() + "/vorlune-server/vorlune.ini";

    // First start, no settings: the port field holds 15150 and the address
    // is picked. The port is held, so that nothing serves on a real address:
    // with a window the program stays to let the operator change the fields.
    QTcpServer squatter;
    const bool held = squatter.listen(QHostAddress::AnyIPv4, 15150);
    QVERIFY(run.start());
    const int picked = run.waitForLine("^No IP Selected\\.  Auto-Selecting \\S+$");
    const int outcome = run.waitForLine("^(Listening on .* - 15150|ERROR \\(listen port\\):  10048 - .+)$");
    QVERIFY2(picked >= 0 && outcome > picked && !(held && run.lines()[outcome].startsWith("Listening")),
             qPrintable(run.log()));
    QVERIFY(!run.log().contains("Songs Available: ")); // no music folder, no scan
    // The terminal of a server in the foreground closes: the exit work runs
    // and makes the folder. The picked address is not the operator's choice.
    QCOMPARE(run.finish(SIGHUP), 0);
    QCOMPARE(readFile(ini), settingsText("", "15150", ""));
    const QByteArray errors = run.process.readAllStandardError();
    QVERIFY2(!errors.contains("QStandardPaths"), errors.constData());

    // Second start: the file there is read. It has the server listen on
    // both address families, for a session against the sample music, byte
    // for byte, over IPv4 and an idle client over IPv6 where there is one.
    // The bundled samples in serving order: a folder's own files first, then
    // its subfolders, each listing in case-insensitive name order.
    const QString music = QStringLiteral(VORLUNE_SOURCE_DIR "/samples/music");
    const QStringList songs = {"\\Welcome.mp3", "\\Tones\\A440.mp3", "\\Tones\\C Major Third.mp3",
                               "\\Voices\\Second Sample.mp3", "\\Voices\\Deeper\\Third Sample.mp3"};
    QVERIFY(writeFile(ini, settingsText("::", "0", music)));
    QVERIFY(run.start());
    const int port = run.listeningPort("\\S+");
    QVERIFY2(port > 0, qPrintable(run.log()));
    // The scan completes before the listener opens.
    const int counted = run.waitForLine("Songs Available: " + QString::number(songs.size()) + "\\\\r\\\\n");
    QVERIFY2(counted >= 0 && counted < run.waitForLine("Listening on .*"), qPrintable(run.log()));

    ProtocolClient c, idle;
    QVERIFY(c.connectTo(port));
    const QByteArray list = (songs.join("\r\n") + "\r\n").toUtf8();
    c.send("SLLEN\r\n");
    QCOMPARE(c.read(10), Wire::lengthReply(list.size()));
    c.send("SLIST\r\n");
    QCOMPARE(c.read(list.size()), list);
    for (int n : {1, int(songs.size())}) {
        const QByteArray song = readFile(music + QString(songs[n - 1]).replace('\\', '/'));
        c.send("SONG " + QByteArray::number(n) + "\r\n");
        QCOMPARE(c.read(Wire::kFileHeaderSize),
                 Wire::fileHeader(song.size(), songs[n - 1].mid(1).toUtf8()).value());
        c.send("READY\r\n");
        QCOMPARE(c.read(song.size()), song);
    }
    QTcpServer probe;
    const QHostAddress v6 = probe.listen(QHostAddress::LocalHostIPv6) ? QHostAddress::LocalHostIPv6
                                                                      : QHostAddress::LocalHost;
    QVERIFY(idle.connectTo(port, v6));
    QVERIFY2(run.waitForLine("^Accepted to " + v6.toString() + " - "
                             + QString::number(idle.socket.localPort()) + "$")
                     >= 0,
             qPrintable(run.log()));
    // Exit with two clients connected: their connections end, nothing is sent.
    QCOMPARE(run.finish(SIGTERM), 0);
    QVERIFY(c.endedSilently() && idle.endedSilently());
    QCOMPARE(readFile(ini), settingsText("::", "0", music));
}

void EndToEnd::headlessStartThatCannotListenEnds()
{
    QTcpServer squatter;
    QVERIFY(squatter.listen(QHostAddress::LocalHost, 0));
    const QString taken = QString::number(squatter.serverPort());
    // Headless as asked for, with a settings file named; then for want of a display.
    for (const bool noDisplay : {false, true}) {
        QTemporaryDir dir;
        ServerRun run(dir.path());
        const QString file = noDisplay ? run.iniPath() : dir.filePath("elsewhere.ini");
        // LF line ends: CR LF afterwards shows that the exit work saved them.
        QVERIFY(writeFile(file, ("127.0.0.1\n" + taken + "\n\n").toUtf8()));
        if (noDisplay)
            run.env.clear(); // as a service may be started
        QVERIFY(run.start(noDisplay ? QStringList() : QStringList{"--headless", "--settings", file}));
        QCOMPARE(run.finish(), 1);
        const QString log = run.log();
        QVERIFY2(log.contains(noDisplay ? "No display found: running headless"
                                        : "Running headless (--headless)")
                         && log.contains("Settings file: " + file)
                         && log.contains("ERROR (listen port):  10048 - "),
                 qPrintable(log));
        QCOMPARE(readFile(file), settingsText("127.0.0.1", taken, ""));
        QCOMPARE(QFile::exists(run.iniPath()), noDisplay);
    }
}

void EndToEnd::aTerminalThatStopsReadingStopsNothing()
{
    // Standard output is a terminal that is read until the server listens
    // and then no more, as after Ctrl+S or in a stalled SSH session.
    int master = -1, slave = -1;
    termios raw = {};
    ::cfmakeraw(&raw); // lines arrive as written, "\n" not turned into CR LF
    QCOMPARE(::openpty(&master, &slave, nullptr, &raw, nullptr), 0);
    const auto closeBoth = qScopeGuard([&] { ::close(master), ::close(slave); });
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    ::fcntl(master, F_SETFL, O_NONBLOCK);
    QByteArray shown;
    // The last entry shown that matches, once there is one (empty on time-out).
    const auto readTerminal = [&](const QString &until) {
        const QDeadlineTimer deadline(kTimeoutMs);
        char buffer[65536];
        for (pollfd readable{master, POLLIN, 0}; ::poll(&readable, 1, 200) >= 0 && !deadline.hasExpired();) {
            for (ssize_t n; (n = ::read(master, buffer, sizeof buffer)) > 0;)
                shown.append(buffer, n);
            const QStringList found = ServerRun::entries(shown, true).filter(QRegularExpression(until));
            if (!found.isEmpty())
                return found.last();
        }
        return QString();
    };

    QTemporaryDir dir;
    ServerRun run(dir.path());
    QVERIFY(writeFile(run.iniPath(), "127.0.0.1\n0\n\n")); // LF only: a save writes CR LF
    run.process.setChildProcessModifier([slave] { ::dup2(slave, STDOUT_FILENO); });
    QVERIFY(run.start());
    const int port = readTerminal("^Listening on 127\\.0\\.0\\.1 - \\d+$").section(' ', -1).toInt();
    QVERIFY2(port > 0, shown.constData());

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
    // Every line shown is a whole entry.
    const QString dropped
            = readTerminal("^\\(\\d+ log lines dropped: standard output was not accepting them\\)$");
    QVERIFY2(!dropped.isEmpty(), shown.right(2000).constData());
    qInfo("%s", qPrintable(dropped));
    const QStringList malformed = ServerRun::entries(shown, true).filter("<not a log line>");
    QVERIFY2(malformed.isEmpty(), qPrintable(malformed.join('\n')));

    // Stalled once more, a termination signal still runs the exit work.
    QVERIFY2(talk(), "the server stopped answering while its terminal was not read");
    QCOMPARE(run.finish(SIGTERM), 0);
    QCOMPARE(readFile(run.iniPath()), settingsText("127.0.0.1", "0", ""));
}

void EndToEnd::sharedOnlyAsTheOperatorSays()
{
    // A song, and a link beside it to a private file: skipped and warned of,
    // unless the operator asks for links to be followed anywhere.
    QTemporaryDir dir;
    const QString music = dir.filePath("music");
    QVERIFY(QDir().mkpath(music) && writeFile(music + "/a.mp3", "song")
            && writeFile(dir.filePath("key"), "k"));
    QVERIFY(QFile::link(dir.filePath("key"), music + "/innocent.mp3"));
    ServerRun run(dir.path());
    QVERIFY(writeFile(run.iniPath(), settingsText("127.0.0.1", "0", music)));
    const QString warning = "^Warning: 1 link in the music folder leads outside it and was not followed, .*";
    for (const bool wide : {false, true}) {
        QVERIFY(run.start(
                wide ? QStringList{"--wide-links", "--allow", "127.0.0.1", "--max-lines-per-host", "1"}
                     : QStringList()));
        const int port = run.listeningPort();
        ProtocolClient c, second;
        QVERIFY2(port > 0 && c.connectTo(port), qPrintable(run.log()));
        const QByteArray list = wide ? "\\a.mp3\r\n\\innocent.mp3\r\n" : "\\a.mp3\r\n";
        c.send("SLIST\r\n");
        QCOMPARE(c.read(list.size()), list);
        QCOMPARE(run.lines().filter(QRegularExpression(warning)).size(), wide ? 0 : 1);
        QCOMPARE(run.lines().contains("Song not listed, it leads outside the music folder: \"innocent.mp3\""),
                 !wide);
        if (wide) {
            for (const char *line :
                 {"Links in the music folder are followed wherever they lead (--wide-links)",
                  "Connections admitted only from: 127.0.0.1 (--allow)",
                  "At most 1 line per client address (--max-lines-per-host)"})
                QVERIFY2(run.lines().contains(line), line);
            c.send("SONG 2\r\n");
            QCOMPARE(c.read(Wire::kFileHeaderSize), Wire::fileHeader(1, "innocent.mp3").value());
            c.send("READY\r\n");
            QCOMPARE(c.read(1), QByteArray("k"));
            // A second line of the one host allowed is turned away, with nothing sent.
            second.connectTo(port);
            QVERIFY(second.endedSilently());
            QVERIFY(run.waitForLine("^Connection from 127\\.0\\.0\\.1 turned away: it holds 1 line, the most "
                                    "one host may hold$")
                    > 0);
        }
        QCOMPARE(run.finish(SIGTERM), 0);
    }
}

QTEST_GUILESS_MAIN(EndToEnd)
#include "tst_e2e.moc"
