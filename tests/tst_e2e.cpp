// End-to-end tests of the built executable, run as a user would run it: a
// folder with a copy of the program and its settings, the offscreen
// platform, protocol clients on loopback, the log read from standard output
// (a pipe, or a terminal that stops reading), a signal at the end and the
// settings file checked afterwards.

#include "NotifySocket.h"
#include "ProtocolClient.h"
#include "ServerRun.h"
#include "app/Server.h"
#include "app/SettingsLocation.h"
#include "protocol/Wire.h"

#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/stat.h>

using namespace E2E;

class EndToEnd : public QObject {
    Q_OBJECT
private slots:
    void commandLine();
    void configurationFolderFirstStartThenASession();
    void headlessStartThatCannotListenEnds();
    void headlessIsTheCoreAloneAndReloadsOnSIGUSR1();
    void aTerminalThatStopsReadingStopsNothing();
    void theServiceManagerIsToldTheState();
    void readyOnlyOnceTheOperatorPageIsServed();
    void shortOfAddressSpaceItServesOrEndsSayingWhy();
    void anEditMadeWhileItRunsSurvivesAndAFullDiskLosesNothing();
    void runningOutOfDescriptorsHoldsRequestsBack();
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
    // No music folder, no scan, and the log says so.
    QVERIFY(!run.log().contains("Songs Available: ")
            && run.log().contains("\nWarning: the Music Folder field is empty, so no songs are offered."));
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
    // The scan completes before the listener opens. The pane's trailing
    // line break is not on standard output.
    const int counted = run.waitForLine("Songs Available: " + QString::number(songs.size()));
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

void EndToEnd::headlessIsTheCoreAloneAndReloadsOnSIGUSR1()
{
    // No display variable, and no platform plugin to be found anywhere: a
    // qt.conf beside the executable names an empty plugin folder. The
    // program without the window beside it: the run becomes that one, which
    // loads no Qt Widgets, and keeps the settings file chosen before.
    QTemporaryDir dir, music, noPlugins;
    ServerRun run(dir.path());
    QVERIFY(QFile::copy(VORLUNE_SERVER_CORE_EXECUTABLE, dir.filePath("vorlune-server-core")));
    QVERIFY(writeFile(dir.filePath("qt.conf"), "[Paths]\nPlugins = " + noPlugins.path().toUtf8() + "\n"));
    run.env.clear();
    run.env.insert("QT_PLUGIN_PATH", noPlugins.path());
    run.env.insert("QT_QPA_PLATFORM_PLUGIN_PATH", noPlugins.path());
    // A song larger than the kernel holds for a client that stops reading.
    QByteArray big;
    for (int i = 0; big.size() < (24 << 20); ++i)
        big += QByteArray::number(i) + ' ';
    QVERIFY(writeFile(music.filePath("big.mp3"), big) && writeFile(music.filePath("a.mp3"), "a"));
    QVERIFY(writeFile(run.iniPath(), settingsText("127.0.0.1", "0", music.path())));
    QVERIFY(run.start());
    const int port = run.listeningPort();
    QVERIFY2(port > 0 && run.lines().first() == "No display found: running headless", qPrintable(run.log()));
    const QByteArray mapped = readFile(QStringLiteral("/proc/%1/maps").arg(run.process.processId()));
    QVERIFY2(mapped.contains("libQt6Core") && !mapped.contains("/platforms/") && !mapped.contains("libQt6Widgets"),
             mapped.constData());
    QVERIFY2(run.lines().contains("Settings file: " + run.iniPath()), qPrintable(run.log()));

    ProtocolClient c;
    c.boundReceiveBuffer(4096);
    QVERIFY(c.connectTo(port));
    c.send("SONG 2\r\n");
    QCOMPARE(c.read(Wire::kFileHeaderSize), Wire::fileHeader(big.size(), "big.mp3").value());
    // The song waits for the client, which takes nothing: SIGUSR1's Reload
    // runs nested in the send, as the Reload button would, and the song
    // still arrives whole afterwards.
    c.holdReads(true);
    c.send("READY\r\n");
    const QRegularExpression sending("^Sending Song .*big\\.mp3\\.(\\\\r\\\\n)?$");
    const auto streams = [&] { return run.lines().filter(sending).size(); };
    QVERIFY2(runEventsUntil([&] { return streams() == 1; }, kTimeoutMs), qPrintable(run.log()));
    QVERIFY(writeFile(music.filePath("b.mp3"), "bb"));
    ::kill(pid_t(run.process.processId()), SIGUSR1);
    QVERIFY2(run.waitForLine("^Songs Available: 3(\\\\r\\\\n)?$") >= 0, qPrintable(run.log()));
    QVERIFY(c.total() < big.size() && run.process.state() == QProcess::Running);
    c.holdReads(false);
    QVERIFY(c.read(big.size()) == big);
    c.send("SLLEN\r\n");
    QCOMPARE(c.read(10), Wire::lengthReply(int(sizeof "\\a.mp3\r\n\\b.mp3\r\n\\big.mp3\r\n") - 1));
    // SIGTERM, nested in the send just the same, ends the program.
    c.send("SONG 3\r\n");
    QCOMPARE(c.read(Wire::kFileHeaderSize).size(), Wire::kFileHeaderSize);
    c.holdReads(true);
    c.send("READY\r\n");
    QVERIFY(runEventsUntil([&] { return streams() == 2; }, kTimeoutMs));
    QCOMPARE(run.finish(SIGTERM), 0);
    QCOMPARE(readFile(run.iniPath()), settingsText("127.0.0.1", "0", music.path()));
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

void EndToEnd::theServiceManagerIsToldTheState()
{
    // A song larger than what the kernel holds for a client that does not
    // read, so that its stream stops part way for as long as the test likes.
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir("music"));
    QFile song(dir.filePath("music/Long.mp3"));
    QVERIFY(song.open(QIODevice::WriteOnly) && song.resize(16 << 20));
    song.close();
    NotifySocket manager(dir.filePath("notify"));
    ServerRun run(dir.path());
    QVERIFY(writeFile(run.iniPath(), settingsText("127.0.0.1", "0", dir.filePath("music"))));
    run.env.insert("NOTIFY_SOCKET", manager.path());
    run.env.insert("WATCHDOG_USEC", "200000"); // fed every 100 ms
    QVERIFY(run.start({"--headless"}));
    const int port = run.listeningPort();
    QVERIFY2(port > 0, qPrintable(run.log()));
    const QString listening
            = QString("Listening on 127\\.0\\.0\\.1, port %1 \\(chosen by the system\\); 1 song offered; ")
                      .arg(port);

    // Ready once listening, with the status as it then stands.
    QVERIFY(manager.waitFor("READY", "1"));
    QByteArray atReady;
    for (const QByteArray &datagram : manager.datagrams()) {
        for (const QByteArray &assignment : datagram.split('\n'))
            atReady = assignment.startsWith("STATUS=") ? assignment.mid(7) : atReady;
        if (datagram.split('\n').contains("READY=1"))
            break;
    }
    QVERIFY2(QRegularExpression(QRegularExpression::anchoredPattern(listening + "No clients; Idle"))
                     .match(QString::fromUtf8(atReady))
                     .hasMatch(),
             atReady.constData());

    // A client, then its song held part way, then taken whole.
    ProtocolClient c;
    c.boundReceiveBuffer(32 * 1024);
    QVERIFY(c.connectTo(port));
    QVERIFY(manager.waitFor("STATUS", listening + "1 client; Idle"));
    c.send("SONG 1\r\n");
    QCOMPARE(c.read(4096).left(13), QByteArray("FILE 16777216"));
    c.holdReads(true);
    c.send("READY\r\n");
    const QString sending = listening
            + "1 client; Sending Long\\.mp3: (\\d|[1-9]\\d)% \\(.* bytes\\), .*/s, to line 1 "
              "\\(127\\.0\\.0\\.1\\)";
    QVERIFY2(manager.waitFor("STATUS", sending), manager.values("STATUS").join('\n').constData());
    c.holdReads(false);
    QCOMPARE(c.read(16 << 20).size(), 16 << 20);
    QVERIFY(manager.waitFor("STATUS", listening + "1 client; Idle"));
    c.socket.disconnectFromHost();
    QVERIFY(manager.waitFor("STATUS", listening + "No clients; Idle"));
    QVERIFY(runEventsUntil([&] { return manager.values("WATCHDOG").size() >= 2; }, kTimeoutMs));

    // At exit the manager hears that the server stops, and nothing after.
    QCOMPARE(run.finish(SIGTERM), 0);
    QCOMPARE(manager.datagrams().last(), QByteArray("STOPPING=1"));
}

void EndToEnd::readyOnlyOnceTheOperatorPageIsServed()
{
    // The token file is a FIFO: the server's open of it blocks until the test
    // opens the other end, which holds the server at the start of the page
    // for as long as the test likes.
    QTemporaryDir dir;
    const QByteArray fifo = QFile::encodeName(dir.filePath("token"));
    QVERIFY(::mkfifo(fifo.constData(), 0600) == 0);
    NotifySocket manager(dir.filePath("notify"));
    ServerRun run(dir.path());
    QVERIFY(writeFile(run.iniPath(), settingsText("127.0.0.1", "0", "")));
    run.env.insert("NOTIFY_SOCKET", manager.path());
    QVERIFY(run.start({"--headless", "--web", "127.0.0.1:0", "--web-token-file", dir.filePath("token")}));
    int writer = -1;
    QVERIFY(runEventsUntil(
            [&] { return writer >= 0 || (writer = ::open(fifo.constData(), O_WRONLY | O_NONBLOCK)) >= 0; },
            kTimeoutMs));
    // A datagram sent before that open is in our queue by now.
    QVERIFY2(manager.values("READY").isEmpty(), "READY=1 before the operator page listens");
    const QByteArray token = QByteArray(32, 'A') + '\n';
    QCOMPARE(::write(writer, token.constData(), size_t(token.size())), ssize_t(token.size()));
    ::close(writer);
    QVERIFY2(manager.waitFor("READY", "1"), qPrintable(run.log()));
    QVERIFY2(run.waitForLine("^Operator page: http://127\\.0\\.0\\.1:\\d+/#A{32}$") >= 0,
             qPrintable(run.log()));
    QCOMPARE(run.finish(SIGTERM), 0);
}

void EndToEnd::shortOfAddressSpaceItServesOrEndsSayingWhy()
{
    // From too little address space to load the libraries up to enough to
    // serve: at each limit the program either answers a client and ends on
    // SIGTERM with 0, or ends by itself, not with 0, saying why. It never
    // hangs (a window's first paint waited for ever on a thread that could
    // not be started).
    QTemporaryDir dir;
    ServerRun run(dir.path());
    QVERIFY(writeFile(run.iniPath(), settingsText("127.0.0.1", "0", "")));
    int served = 0, ended = 0;
    for (rlim_t megabytes = 60; megabytes <= 140; megabytes += 5) {
        const rlimit limit = {megabytes << 20, megabytes << 20};
        run.process.setChildProcessModifier([limit] { ::setrlimit(RLIMIT_AS, &limit); });
        QVERIFY(run.start());
        ProtocolClient c;
        const int port = run.listeningPort();
        if (port > 0 && c.connectTo(port)) {
            c.send("SYNC \r\n");
            c.waitUntil(
                    [&] { return c.available() > 0 || c.socket.state() != QAbstractSocket::ConnectedState; });
        }
        if (c.available() > 0) {
            QCOMPARE(run.finish(SIGTERM), 0);
            ++served;
            continue;
        }
        const QString why = QString::number(megabytes) + " MiB: ";
        QVERIFY2(run.process.state() == QProcess::NotRunning || run.process.waitForFinished(kTimeoutMs),
                 qPrintable(why + "hangs"));
        const QByteArray errors = run.process.readAllStandardError();
        QVERIFY2(run.process.exitStatus() == QProcess::NormalExit ? run.process.exitCode() != 0
                                                                  : errors.contains("ending on a fault"),
                 qPrintable(why + errors));
        QVERIFY2(run.log().contains("Ending: ") || !errors.isEmpty(), qPrintable(why + "no word"));
        ++ended;
    }
    QVERIFY2(served > 0 && ended > 0, "the limits tried do not reach across the edge");
}

void EndToEnd::anEditMadeWhileItRunsSurvivesAndAFullDiskLosesNothing()
{
    // Edited while the server runs, as the README tells a service's operator:
    // the edit survives SIGTERM. On a full disk (a file-size limit stands in)
    // the save fails, says so, and the file stays as it was.
    QTemporaryDir dir;
    ServerRun run(dir.path());
    const QByteArray edited = settingsText("127.0.0.1", "15151", "/srv/music");
    for (const bool full : {false, true}) {
        QVERIFY(writeFile(run.iniPath(), settingsText("127.0.0.1", "0", "")));
        if (full) {
            run.process.setChildProcessModifier([] {
                const rlimit limit = {8, RLIM_INFINITY};
                std::signal(SIGXFSZ, SIG_IGN);
                ::setrlimit(RLIMIT_FSIZE, &limit);
            });
        }
        QVERIFY(run.start());
        QVERIFY2(run.listeningPort() > 0, qPrintable(run.log()));
        QVERIFY(writeFile(run.iniPath(), edited));
        QCOMPARE(run.finish(SIGTERM), 0);
        QCOMPARE(readFile(run.iniPath()), edited);
        QCOMPARE(run.log().contains("\nSettings not saved to " + run.iniPath() + ": "), full);
    }
}

void EndToEnd::runningOutOfDescriptorsHoldsRequestsBack()
{
    // A hard limit far below what 101 lines need (the server keeps a reserve
    // that grows with the processors), and a soft one below it, which the
    // server raises at once.
    const rlim_t limit = 128 + rlim_t(QThread::idealThreadCount());
    QTemporaryDir dir;
    ServerRun run(dir.path());
    QVERIFY(writeFile(run.iniPath(), settingsText("127.0.0.1", "0", "")));
    run.process.setChildProcessModifier([limit] {
        const rlimit both{limit / 2, limit};
        ::setrlimit(RLIMIT_NOFILE, &both);
    });
    QVERIFY(run.start());
    const int port = run.listeningPort();
    QVERIFY2(port > 0, qPrintable(run.log()));
    QVERIFY(QRegularExpression(QStringLiteral("Max open files +%1 +%1 ").arg(limit))
                    .match(readFile(QStringLiteral("/proc/%1/limits").arg(run.process.processId())))
                    .hasMatch());

    // Every line asked for at once: those there are descriptors for are
    // taken, the others wait in the backlog, and the server says so once.
    std::vector<std::unique_ptr<QTcpSocket>> clients;
    for (int i = 0; i < 101; ++i) {
        clients.push_back(std::make_unique<QTcpSocket>());
        clients.back()->connectToHost(QHostAddress::LocalHost, quint16(port));
    }
    const QString held = "^Too few file descriptors free: connection requests on Winsock # 0 wait\\.$";
    QVERIFY2(run.waitForLine(held) >= 0, qPrintable(run.log()));
    const qsizetype accepted = run.lines().filter(QRegularExpression("^Accepted to ")).size();
    QVERIFY2(accepted > 0 && accepted < 101, qPrintable(QString::number(accepted)));

    // Everybody leaves: the server takes requests again, and a newcomer is
    // answered. Each shortage is logged once.
    clients.clear();
    const QString freed = "^File descriptors free again: answering connection requests on Winsock # 0\\.$";
    QVERIFY2(run.waitForLine(freed) >= 0, qPrintable(run.log()));
    ProtocolClient late;
    QVERIFY(late.connectTo(port));
    late.send("SLLEN\r\n");
    QCOMPARE(late.read(10), Wire::lengthReply(0));
    // The requests that waited, taken all at once, may make the server
    // short again: each shortage is logged once, and its end before the next.
    const QStringList episodes = run.lines().filter(QRegularExpression(held + "|" + freed));
    for (qsizetype i = 0; i < episodes.size(); ++i)
        QVERIFY2(episodes[i].startsWith(i % 2 ? "File" : "Too"), qPrintable(episodes.join('\n')));
    QCOMPARE(run.finish(SIGTERM), 0);
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
