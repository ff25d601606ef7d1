// The core under the window: the information box, the panes' purge rules,
// the settings file, the log's echo on standard output, which never waits,
// and the server's status as the operator is shown it.
#include "AppFixture.h"
#include "NotifySocket.h"
#include "ProtocolRig.h"
#include "app/LineWriter.h"
#include "app/OperatorActions.h"
#include "app/OperatorLog.h"
#include "app/QtMessages.h"
#include "app/Server.h"
#include "app/ServerLifecycle.h"
#include "app/ServerStatus.h"
#include "app/ServiceNotifier.h"
#include "app/SettingsFile.h"
#include "app/TerminationSignals.h"
#include "net/Lines.h"
#include "net/Winsock.h"
#include "protocol/Wire.h"

#include <QTcpServer>
#include <QtTest>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <sys/resource.h>
#include <unistd.h>

class TestApp : public QObject {
    Q_OBJECT
private slots:
    void anExitIsNotHeldUpByAReloadThatCameWithIt()
    {
        // Both are waiting when the loop looks: the exit alone runs, not a
        // rescan first. A Reload on its own afterwards still runs, once.
        QVERIFY(TerminationSignals::install());
        TerminationSignals signalEvents;
        QSignalSpy exits(&signalEvents, &TerminationSignals::received);
        QSignalSpy reloads(&signalEvents, &TerminationSignals::reloadRequested);
        ::raise(SIGUSR1);
        ::raise(SIGUSR1);
        ::raise(SIGTERM);
        QTRY_COMPARE(exits.count(), 1);
        QCOMPARE(exits.first().first().toInt(), SIGTERM);
        QCOMPARE(reloads.count(), 0);
        ::raise(SIGUSR1);
        ::raise(SIGUSR1);
        QTRY_COMPARE(reloads.count(), 1);
        QCoreApplication::processEvents();
        QCOMPARE(reloads.count(), 1);
        QCOMPARE(exits.count(), 1);
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGUSR1})
            std::signal(sig, SIG_DFL);
    }

    void oneInformationBoxAtATime()
    {
        // The box runs a nested event loop: an occasion inside it is logged
        // instead of stacking a second box.
        Server server;
        server.log().setEchoToStdout(false);
        QStringList shown;
        server.setInformationPresenter([&](const QString &text) {
            shown << text;
            server.ShowInformation(QStringLiteral("nested"));
        });
        server.ShowInformation(QStringLiteral("outer"));
        server.ShowInformation(QStringLiteral("again"));
        QCOMPARE(shown, QStringList({"outer", "again"}));
        QCOMPARE(server.log().logPane().text(), QStringLiteral("nested\r\nnested\r\n"));
    }

    void panesPurgeOnlyPastTheLimit()
    {
        // The log tests its length before an entry: 65000 is not past it.
        OperatorLog log;
        log.setEchoToStdout(false);
        const MessagePane &pane = log.logPane();
        log.AddLog(QString(kPanePurgeLimit - 2, u'a'));
        log.AddLog(QStringLiteral("kept"));
        QVERIFY(pane.text().size() == kPanePurgeLimit + 6 && !pane.purgedLabelVisible());
        log.AddLog(QStringLiteral("after"));
        QVERIFY(pane.text() == u"after\r\n" && pane.purgedLabelVisible());
        // The incoming pane tests the length it would have; only out of
        // memory shows its label. An arrival past the limit is kept whole.
        for (const qsizetype added : {10, 11, 70000}) {
            log.AddIncoming(QString(kPanePurgeLimit - 10, u'o'));
            log.AddIncoming(QString(added, u'n'));
            QVERIFY(log.incomingPane().text().size() == (added == 10 ? kPanePurgeLimit : added)
                    && !log.incomingPane().purgedLabelVisible());
            log.cmdClear_Click(0);
        }
    }

    void settingsFileLineByLine()
    {
        // CR LF, a lone CR and a lone LF each end a line; values are kept
        // verbatim; a field the file does not reach keeps what it held.
        SettingsFields f;
        const auto read = [&](const QByteArray &bytes) {
            const int assigned = parseSettings(bytes, f);
            return QString::number(assigned) + u'|' + f.ip + u'|' + f.port + u'|' + f.musicFolder;
        };
        QCOMPARE(read(" a \r\n\r\n /m\xc3\xbc \r\nextra\r\n"), QString::fromUtf8("3| a || /m\xc3\xbc "));
        QCOMPARE(read("b\rc\n\rd"), QStringLiteral("3|b|c|"));
        QCOMPARE(read("10.0.0.1"), QStringLiteral("1|10.0.0.1|c|"));
    }

    void settingsAreReplacedWholeAndLinesNotReadExactlyWrittenBack()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QLatin1String(kSettingsFileName));
        const QByteArray old = "1.1.1.1\r\n1\r\n/a/long/old/folder\r\nfourth line\r\n";
        QVERIFY(writeFile(path, old));
        SettingsFields fields;
        fields.ip = QStringLiteral(" ip "), fields.port.clear(), fields.musicFolder = QStringLiteral("/m");
        // The write ends before the commit, as a crash would: nothing of it shows.
        QVERIFY(!SaveSettings(path, fields, nullptr, [] { return false; }));
        QCOMPARE(readFile(path), old);
        QVERIFY(SaveSettings(path, fields)); // the shorter file replaces the old one whole
        QCOMPARE(readFile(path), QByteArray(" ip \r\n\r\n/m\r\n"));

        // A folder whose name is not UTF-8 (Latin-1 from an old system).
        const QByteArray latin1 = "10.0.0.1\r\n15150\r\n/srv/M\xfcsik\r\n";
        QVERIFY(writeFile(path, latin1));
        Server server;
        SettingsFields loaded;
        LoadSettings(path, loaded);
        server.setFields(loaded);
        QVERIFY(SaveSettings(path, server.fields()));
        QCOMPARE(readFile(path), latin1);
        server.setTxtMusicFolder(server.fields().musicFolder + u'/'); // an edit is written as shown
        QVERIFY(SaveSettings(path, server.fields()));
        QCOMPARE(readFile(path), QByteArray("10.0.0.1\r\n15150\r\n/srv/M\xef\xbf\xbdsik/\r\n"));

        // A first line of 10 MB: not held whole, yet the lines after it are
        // read and a save copies it from the very file it replaces. Its CR
        // is the last byte of a piece read, its LF the first of the next.
        const QByteArray huge = QByteArray(160 * kSettingsReadPiece - 2, 'h') + "\xff";
        QVERIFY(writeFile(path, huge + "\r\n8080\r\n/music\r\n"));
        SettingsFields big;
        LoadSettings(path, big);
        QVERIFY(big.ip.size() == kMaxSettingsLineBytes && big.port == u"8080"
                && big.musicFolder == u"/music");
        big.port = QStringLiteral("9090");
        QVERIFY(SaveSettings(path, big));
        QVERIFY(readFile(path) == huge + "\r\n9090\r\n/music\r\n"); // QCOMPARE would print 10 MB
    }

    void settingsEditedMeanwhileSurviveAndAFullDiskLosesNothing()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QLatin1String(kSettingsFileName));
        QVERIFY(writeFile(path, "10.0.0.1\r\n15150\r\n/music\r\n"));
        Server server;
        SettingsFields loaded;
        LoadSettings(path, loaded);
        server.setFields(loaded);
        server.setTxtIP(QStringLiteral("10.0.0.2"));
        server.setTxtPort(QStringLiteral("1"));
        server.setTxtPort(QStringLiteral("15150")); // back to what was read: not a change
        // Edited by hand while the server runs: a line of 200,000 bytes, the
        // third line gone. Only the field changed in the program is written.
        const QByteArray byHand = QByteArray(200000, 'e');
        QVERIFY(writeFile(path, "1.1.1.1\n" + byHand + "\r\n"));
        QVERIFY(SaveSettings(path, server.fields()));
        QVERIFY(readFile(path) == "10.0.0.2\r\n" + byHand + "\r\n/music\r\n");

        // A write past the file-size limit fails as on a full disk: in the
        // middle, or in the last flush. The old file stays whole and the
        // failure says why; the next save, with room, succeeds.
        const QByteArray before = readFile(path);
        server.setTxtMusicFolder(QStringLiteral("/other"));
        rlimit room = {};
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &room), 0);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        for (const rlim_t limit : {rlim_t(16), rlim_t(before.size() - 1)}) {
            const rlimit low = {limit, room.rlim_max};
            QString whyNot;
            const bool done
                    = ::setrlimit(RLIMIT_FSIZE, &low) == 0 && SaveSettings(path, server.fields(), &whyNot);
            QVERIFY(::setrlimit(RLIMIT_FSIZE, &room) == 0 && !done && readFile(path) == before);
            QCOMPARE(whyNot, QString::fromLocal8Bit(std::strerror(EFBIG)));
        }
        std::signal(SIGXFSZ, oldHandler);
        QVERIFY(SaveSettings(path, server.fields()));
        QVERIFY(readFile(path) == "10.0.0.2\r\n" + byHand + "\r\n/other\r\n");
    }

    void anAddressListenPickedIsShownButNotSavedAsTheOperatorsChoice()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QLatin1String(kSettingsFileName));
        Server server;
        server.log().setEchoToStdout(false);
        server.lines().cmdListen_Click(QString(), QStringLiteral("0"));
        const QString picked = Winsock::primaryIPv4();
        QVERIFY(server.fields().ip == picked && server.title().endsWith("  [" + picked + "]"));
        QVERIFY(SaveSettings(path, server.fields()));
        QCOMPARE(readFile(path), QByteArray("\r\n15150\r\n\r\n"));
    }

    void statusTextsRateAndPercent()
    {
        // Driven by hand through the handlers, on lines that do not exist.
        Server server;
        server.log().setEchoToStdout(false);
        ServerStatus &s = server.status();
        qint64 now = 1000;
        s.setClock([&] { return now; });
        // A send still out on the line when the stream begins (a header) is
        // not the song's; the pieces before the one in flight are.
        server.lines().setLineBusy(9, true);
        s.Interpreter_songStreamStarted(9, QStringLiteral("/music/a b.mp3"), 900);
        server.lines().setLineBusy(9, false);
        for (int piece : {500, 500}) {
            s.Lines_SendProgress(9, piece, 0);
            s.Lines_SendComplete(9);
        }
        now += 1300;
        s.Lines_SendProgress(9, 299, 101);
        s.Interpreter_songStreamEnded(9, 900, 900); // all handed over, the last piece still out
        s.Lines_SendProgress(8, 900, 0);            // another line's send
        QCOMPARE(qint64(s.songRate()), 799 * 1000 / 1300);
        // The percent is floored; the rate falls while the client takes nothing.
        now += 10000;
        QCOMPARE(s.activityText(),
                 QStringLiteral("Sending a b.mp3: 88% (799 of 900 bytes), 0 bytes/s, to line 9"));
        s.Lines_SendProgress(9, 400, 0);
        s.Lines_SendComplete(9);
        QCOMPARE(s.activityText(), QStringLiteral("Idle"));
    }

    void statusFollowsTheLinesAndCountsAWholeSongAsItIsTaken()
    {
        Rig rig;
        const qint64 size = (3 << 20) + 123; // many pieces, whether a piece is 4 KiB or 1 MiB
        const QByteArray song = rig.addSong("whole.mp3", size, 5);
        ServerStatus status(rig.lines, rig.catalogue, rig.interpreter);
        QVERIFY(rig.start());
        QCOMPARE(status.listenText() + u'|' + status.songsText(),
                 QStringLiteral("Listening on 127.0.0.1, port %1 (chosen by the system)|1 song offered")
                         .arg(rig.port));
        ProtocolClient &c = rig.connect();
        // The count at every change while the song streams: never back, the
        // song's size at its end, then forgotten.
        QList<qint64> seen;
        QObject::connect(&status, &ServerStatus::changed, &rig.context, [&] {
            if (status.songStream().active)
                seen << status.songStream().sent;
        });
        QVERIFY(rig.sendOne(c, "SONG 1\r\n"));
        QCOMPARE(c.read(4096).size(), 4096);
        QVERIFY(rig.sendOne(c, "READY\r\n"));
        QVERIFY(c.read(size) == song);
        QVERIFY(c.waitUntil([&] { return !status.songStream().active; }));
        QVERIFY2(seen.size() > 3 && seen.last() == size && std::is_sorted(seen.cbegin(), seen.cend()),
                 qPrintable(QString::number(seen.size())));
        QCOMPARE(status.activityText(), QStringLiteral("Idle"));
    }

    void listenerTextsNamePortAndReasonAndWarnOnlyWhenTheOperatorMustAct()
    {
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath(QStringLiteral("song.mp3")), "ID3"));
        Server server;
        server.log().setEchoToStdout(false);
        const ServerStatus &s = server.status();
        Lines &lines = server.lines();
        // No folder named yet: nothing is offered, and the log says so.
        // Once a scan has found songs, an emptied field changes nothing offered.
        const QString empty = QStringLiteral("Warning: the Music Folder field is empty");
        server.catalogue().LoadMP3List();
        QCOMPARE(server.log().logPane().text().count(empty), 1);
        // All is well: a folder that can be read, a port the field names.
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        const QString taken = QString::number(probe.serverPort());
        probe.close();
        server.setTxtMusicFolder(dir.path());
        server.catalogue().LoadMP3List();
        lines.cmdListen_Click(QStringLiteral("127.0.0.1"), taken);
        server.setTxtMusicFolder(QString());
        server.catalogue().LoadMP3List();
        server.setTxtMusicFolder(dir.path());
        QVERIFY2(server.log().logPane().text().count(QStringLiteral("Warning")) == 1,
                 qPrintable(server.log().logPane().text()));
        QCOMPARE(s.listenText() + u'|' + s.songsText(),
                 QStringLiteral("Listening on 127.0.0.1, port %1|1 song offered").arg(taken));
        // A Listen that fails beside a running listener changes nothing shown.
        lines.cmdListen_Click(QStringLiteral("127.0.0.1"), taken);
        QCOMPARE(s.listenText(), QStringLiteral("Listening on 127.0.0.1, port %1").arg(taken));
        // Closed, then failing: the status says why nothing listens.
        const auto closeListener = [&lines] {
            lines.table().selectionModel()->select(lines.table().model()->index(0, 0),
                                                   QItemSelectionModel::Select | QItemSelectionModel::Rows);
            lines.cmdClose_Click();
        };
        closeListener();
        QCOMPARE(s.listenText(), QStringLiteral("Not listening: the listener on line 0 was closed"));
        QTcpServer squatter;
        QVERIFY(squatter.listen(QHostAddress::LocalHost));
        lines.cmdListen_Click(QStringLiteral("127.0.0.1"), QString::number(squatter.serverPort()));
        QVERIFY(s.listenText().startsWith(QStringLiteral("Not listening: "))
                && s.notListeningReason().size() > 3
                && server.log().logPane().text().contains("ERROR (listen port):  10048 - "
                                                          + s.notListeningReason()));
        // Every interface is shown as such, not as one address.
        for (const char *any : {"0.0.0.0", "::"}) {
            lines.cmdListen_Click(QString::fromLatin1(any), QStringLiteral("0"));
            QCOMPARE(s.listenText(),
                     QStringLiteral("Listening on all interfaces%1, port %2 (chosen by the system)")
                             .arg(any[0] == '0' ? " (IPv4 only)" : "")
                             .arg(s.listeners().first().port));
            closeListener();
        }
        // Qt's chatter stays off standard error; its real warnings do not.
        const QMessageLogContext plain(nullptr, 0, nullptr, "default");
        QVERIFY(isQtNoise(QtWarningMsg, plain,
                          QStringLiteral("QStandardPaths: XDG_RUNTIME_DIR not set, "
                                         "defaulting to '/tmp/runtime-root'")));
        QVERIFY(!isQtNoise(QtWarningMsg, plain, QStringLiteral("QSocketNotifier: Invalid socket specified")));
        QVERIFY(!isQtNoise(QtFatalMsg, plain, QStringLiteral("QStandardPaths: nothing else is left")));
    }

    void operatorActionsRunNestedInASongSend()
    {
        // The server as main() wires it; its client stops reading a song
        // larger than the kernel holds for it, so the stream waits in the
        // gate, where the operator's actions run as a click would.
        QTemporaryDir music, settings;
        QByteArray big;
        for (int i = 0; big.size() < (24 << 20); ++i)
            big += QByteArray::number(i) + ' ';
        QVERIFY(writeFile(music.filePath("big.mp3"), big));
        QVERIFY(writeFile(settings.filePath(kSettingsFileName),
                          "127.0.0.1\r\n0\r\n" + music.path().toUtf8()));
        Server server;
        server.log().setEchoToStdout(false);
        OperatorActions actions(server);
        ServerLifecycle lifecycle(server, actions);
        lifecycle.setApplicationFolder(settings.path());
        lifecycle.start();
        const quint16 port = server.status().listeners().first().port;
        ProtocolClient c;
        c.boundReceiveBuffer(4096);
        QVERIFY(lifecycle.listening() && c.connectTo(port));
        // The action runs inside the stream once it has begun; the client
        // reads again from there, since the test's own loop is below it.
        const auto streamWithNested = [&](const std::function<void()> &action) {
            bool ran = false;
            QObject context;
            connect(&server.log().logPane(), &MessagePane::appended, &context, [&](const QString &text) {
                if (text.startsWith("Sending Song "))
                    QTimer::singleShot(0, &context, [&] {
                        ran = server.interpreter().transferState() == TransferState::Sending;
                        action(), c.holdReads(false);
                    });
            });
            c.send("SONG 1\r\n");
            c.read(Wire::kFileHeaderSize);
            c.holdReads(true);
            c.send("READY\r\n");
            return c.waitUntil([&] { return ran; });
        };

        // Clear, Reload of a folder that gained a song, a second Listen: the
        // song goes on, whole.
        QVERIFY(streamWithNested([&] {
            actions.clearPane(2);
            QVERIFY(writeFile(music.filePath("more.mp3"), "x"));
            actions.reload();
            actions.listen();
        }));
        QVERIFY(c.read(big.size()) == big);
        QVERIFY(server.log().logPane().text().startsWith("Songs Available: 2\r\n")
                && server.status().listeners().size() == 2);

        // The selection, then Close: the second listener and the streaming
        // client (rows 2 and 1) end, the stream stops, the next client is served.
        QVERIFY(streamWithNested([&] {
            actions.selectLines({server.table().lineOfRow(2), server.table().lineOfRow(1)});
            actions.closeSelected();
        }));
        QVERIFY(c.waitUntil([&] { return c.socket.state() == QAbstractSocket::UnconnectedState; }));
        QVERIFY(c.total() < 2 * (Wire::kFileHeaderSize + big.size())
                && server.status().listeners().size() == 1
                && server.log().logPane().text().contains("User Closed Line # 1 - 127.0.0.1\r\n"));
        ProtocolClient d;
        QVERIFY(d.connectTo(port));
        d.send("SLLEN\r\n");
        QCOMPARE(d.read(10), Wire::lengthReply(int(sizeof "\\big.mp3\r\n\\more.mp3\r\n") - 1));
    }

    void aClientCannotDriveTheOperatorsTerminal()
    {
        // A client's text in a log entry can neither drive the terminal nor
        // start a line that looks like the server's.
        const QString forged = QStringLiteral("msg=[a\tb\r\n2026-01-01 00:00:00 Listening\x1b]0;t\x07]")
                + QChar(0x9b) + QString::fromUtf8("\xc3\xbc\x7f");
        QCOMPARE(stdoutLogLine(forged, QDateTime(QDate(2026, 12, 7), QTime(4, 5, 6))),
                 QByteArray("2026-12-07 04:05:06 msg=[a\\x09b\\r\\n2026-01-01 00:00:00 Listening"
                            "\\x1b]0;t\\x07]\\xc2\\x9b\xc3\xbc\\x7f\n"));
    }

    void standardOutputShowsAnEntryShortAndWithoutItsLayout()
    {
        // The pane's trailing line breaks go; inner ones stay, escaped.
        QCOMPARE(stdoutLogLine(QStringLiteral("Songs Available: 5\r\n")), QByteArray("Songs Available: 5\n"));
        QCOMPARE(stdoutLogLine(QStringLiteral("Corrupt message received\r\nSLIST\r\n\r\n")),
                 QByteArray("Corrupt message received\\r\\nSLIST\n"));
        // At most kMaxStdoutEntryBytes after the stamp, counted as shown:
        // the edge falls on a whole character, escaped or not.
        const QDateTime stamp(QDate(2026, 12, 7), QTime(4, 5, 6));
        const qsizetype limit = kMaxStdoutEntryBytes;
        const QString a(limit, u'a');
        QCOMPARE(stdoutLogLine(a, stamp), "2026-12-07 04:05:06 " + a.toLatin1() + '\n');
        QCOMPARE(stdoutLogLine(a + u'b'), a.toLatin1() + " [... 1 byte left out]\n");
        QCOMPARE(stdoutLogLine(a.chopped(3) + u'\x01'), a.chopped(3).toLatin1() + " [... 1 byte left out]\n");
        const QString wide = a.chopped(3) + QString::fromUtf8("\xf0\x9f\x8e\xb5\xc3\xbc"); // U+1F3B5, ü
        QCOMPARE(stdoutLogLine(wide), a.chopped(3).toLatin1() + " [... 6 bytes left out]\n");
        QCOMPARE(stdoutLogLine(wide.chopped(1) + u'\r' + u'\n'),
                 a.chopped(3).toLatin1() + " [... 4 bytes left out]\n");
    }

    void standardOutputTakesAtMostItsRate()
    {
        int fds[2];
        QCOMPARE(::pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
        const auto closeBoth = qScopeGuard([&] { ::close(fds[0]), ::close(fds[1]); });
        LineWriter writer(fds[1], [](qint64 n, bool overRate) {
            return "(" + QByteArray::number(n) + (overRate ? " over)\n" : " full)\n");
        });
        using namespace std::chrono_literals;
        std::chrono::nanoseconds now = 5s;
        writer.setRateLimit(1000, 1000, [&] { return now; }); // 1 byte a millisecond
        const QByteArray line = QByteArray(99, 'x') + '\n';
        // Writes n lines after a wait; returns what went out.
        const auto writeAfter = [&](std::chrono::nanoseconds wait, int n) {
            now += wait;
            for (int i = 0; i < n; ++i)
                writer.write(line);
            QByteArray buffer(1 << 16, Qt::Uninitialized);
            return buffer.left(std::max<ssize_t>(0, ::read(fds[0], buffer.data(), buffer.size())));
        };
        QVERIFY(writeAfter(0s, 11) == line.repeated(10) && writer.droppedUnreported() == 1); // the burst
        QVERIFY(writeAfter(99ms, 1).isEmpty() && writeAfter(1ms, 1) == "(2 over)\n" + line);
        // The report was charged for: 9 ms more to wait.
        QVERIFY(writeAfter(108ms, 1).isEmpty() && writeAfter(1ms, 1) == "(1 over)\n" + line);
        // A long quiet time fills the bucket, and no more.
        QVERIFY(writeAfter(1h, 11) == line.repeated(10) && writer.droppedUnreported() == 1);
    }

    void standardOutputKeepsLinesWholeAndCountsWhatItDrops()
    {
        // A small pipe that is read only now and then: every line that
        // arrives is whole and in order, and the dropped ones are counted.
        int fds[2];
        QCOMPARE(::pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
        const auto closeBoth = qScopeGuard([&] { ::close(fds[0]), ::close(fds[1]); });
        QVERIFY(::fcntl(fds[1], F_SETPIPE_SZ, 4096) > 0);
        LineWriter writer(fds[1], [](qint64 n, bool) { return "(" + QByteArray::number(n) + " dropped)\n"; });
        QList<QByteArray> sent;
        QByteArray got;
        const auto write = [&](const QByteArray &line) { writer.write(sent.emplace_back(line)); };
        const auto take = [&](qsizetype most) {
            QByteArray buffer(most, Qt::Uninitialized);
            got += buffer.left(std::max<ssize_t>(0, ::read(fds[0], buffer.data(), most)));
        };
        const auto drained = [&] { // true once the writer has reported its drops
            take(1 << 16);
            return got.endsWith(" dropped)\n") && writer.droppedUnreported() == 0;
        };
        for (int i = 0; i < 300; ++i) { // some longer than the pipe: written in part
            write("line " + QByteArray::number(i) + ' ' + QByteArray(i * 397 % 6000, char('a' + i % 26))
                  + '\n');
            if (i % 3 == 0)
                take(2500); // room for the next line, right after one written in part
        }
        QVERIFY(writer.droppedUnreported() > 0);
        QTRY_VERIFY_WITH_TIMEOUT(drained(), 10000); // the event loop writes what was held back
        // The rest of a line too long to hold is cut, and the line still ends.
        write(QByteArray(3 * LineWriter::kMaxPendingBytes, 'L') + '\n');
        write("after the long line\n");
        QTRY_VERIFY_WITH_TIMEOUT(drained(), 10000);

        qint64 whole = 0, dropped = 0, cut = 0;
        qsizetype next = 0;
        for (const QByteArray &line : got.chopped(1).split('\n')) {
            if (line.startsWith('(') && line.endsWith(" dropped)")) {
                dropped += line.mid(1, line.indexOf(' ') - 1).toLongLong();
                continue;
            }
            const bool isCut = line.endsWith(" [...]");
            while (next < sent.size() && sent[next] != line + '\n'
                   && !(isCut && sent[next].startsWith(line.chopped(6))))
                ++next;
            QVERIFY2(next++ < sent.size(), line.left(80).constData());
            (isCut ? cut : whole) += 1;
        }
        QVERIFY(cut == 1 && whole + cut + dropped == sent.size());
    }

    void aTerminalIsMadeNonBlockingThroughADescriptionOfItsOwn()
    {
        // The shell reads its commands through the description it handed
        // over: that one must stay blocking.
        int master = -1, slave = -1;
        QCOMPARE(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        const int shells = ::dup(slave);
        const auto closeAll = qScopeGuard([&] { ::close(master), ::close(slave), ::close(shells); });
        LineWriter writer(slave, [](qint64, bool) { return QByteArray(); });
        writer.prepareNonBlocking();
        QVERIFY(::fcntl(slave, F_GETFL) & O_NONBLOCK);
        QVERIFY(!(::fcntl(shells, F_GETFL) & O_NONBLOCK));
        writer.write("to the same terminal\n");
        char buffer[64] = {};
        QVERIFY(::read(master, buffer, sizeof buffer - 1) > 0);
        QCOMPARE(QByteArray(buffer).trimmed(), QByteArray("to the same terminal"));
    }

    void serviceManagerHearsEachChangeOnceAsOneLine()
    {
        QTemporaryDir dir;
        NotifySocket manager(dir.filePath("notify"));
        qputenv("NOTIFY_SOCKET", manager.path().toLocal8Bit());
        const auto unset = qScopeGuard([] { qunsetenv("NOTIFY_SOCKET"); });
        Server server;
        server.log().setEchoToStdout(false);
        ServerStatus &status = server.status();
        ServiceNotifier notifier;
        notifier.attach(server);
        const auto settle = [&] { return runEventsUntil([&] { return !notifier.statusPending(); }, 20000); };
        // Start-up ended without a listener (a window's failed Listen): ready
        // comes with the first listener. A change is sent from the event
        // loop, never from inside the handler that noted it.
        // A start-up scan moves the manager's start timeout on.
        status.Catalogue_scanStarted();
        QVERIFY(manager.waitFor("EXTEND_TIMEOUT_USEC", "90000000"));
        status.Catalogue_scanEnded(true, 0, 1);
        notifier.ready();
        QVERIFY(settle() && manager.values("READY").isEmpty());
        const qsizetype before = manager.datagrams().size();
        status.Lines_listenStarted(0, "127.0.0.1", 15150, false);
        QCOMPARE(manager.datagrams().size(), before);
        QVERIFY(settle());
        QCOMPARE(manager.datagrams().mid(before),
                 QList<QByteArray>{"READY=1\nSTATUS=Listening on 127.0.0.1, port 15150; 0 songs offered; "
                                   "No clients; Idle"});
        // A change that leaves the line as it was sends nothing.
        status.Lines_connectionAccepted(5);
        QVERIFY(settle());
        status.Lines_connectionAccepted(5);
        QVERIFY(settle());
        QCOMPARE(manager.datagrams().size(), before + 2);
        // A song's name cannot add an assignment of its own.
        status.Interpreter_songStreamStarted(5, "/m/x\nREADY=1.mp3", 100);
        QVERIFY(manager.waitFor("STATUS", ".*1 client; Sending x\\\\nREADY=1\\.mp3: 0% .*"));
        status.Interpreter_songStreamEnded(5, 0, 100);
        QVERIFY(manager.waitFor("STATUS", ".*1 client; Idle") && settle());
        notifier.stopping();
        status.Lines_lineReleased(5);
        QVERIFY(!notifier.statusPending());
        QCOMPARE(manager.datagrams().last(), QByteArray("STOPPING=1"));
        QCOMPARE(manager.values("READY").size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestApp)
#include "tst_app.moc"
