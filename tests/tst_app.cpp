// The core under the window: the panes' purge rules, the settings file,
// the log's echo on standard output, which never waits, and what the
// operator is shown of the server's state (status and warnings).
#include "AppFixture.h"
#include "ProtocolRig.h"
#include "app/LineWriter.h"
#include "app/OperatorLog.h"
#include "app/OperatorWarnings.h"
#include "app/QtMessages.h"
#include "app/Server.h"
#include "app/ServerStatus.h"
#include "app/SettingsFile.h"
#include "library/CFileDirHelper.h"
#include "library/SongCatalogue.h"
#include "net/Lines.h"
#include "net/Winsock.h"
#include "protocol/Wire.h"

#include <QTcpServer>
#include <QtTest>
#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

class TestApp : public QObject {
    Q_OBJECT
private slots:
    void oneInformationBoxAtATime()
    {
        // The box runs a nested event loop: an occasion inside it is logged
        // instead of stacking a second box; headless, every one is logged.
        Server server;
        server.log().setEchoToStdout(false);
        server.ShowInformation(QStringLiteral("headless"));
        QStringList shown;
        server.setInformationPresenter([&](const QString &text) {
            shown << text;
            server.ShowInformation(QStringLiteral("nested"));
        });
        server.ShowInformation(QStringLiteral("outer"));
        server.ShowInformation(QStringLiteral("again"));
        QCOMPARE(shown, QStringList({"outer", "again"}));
        QCOMPARE(server.log().logPane().text(), QStringLiteral("headless\r\nnested\r\nnested\r\n"));
    }

    void logPurgesOnlyAboveTheLimit()
    {
        OperatorLog log;
        log.setEchoToStdout(false);
        const MessagePane &pane = log.logPane();
        log.AddLog(QString(kPanePurgeLimit - 2, u'a')); // 65000 with CR LF is not above the limit
        log.AddLog(QStringLiteral("next"));
        QCOMPARE(pane.text().size(), kPanePurgeLimit + 6);
        QVERIFY(!pane.purgedLabelVisible());
        log.AddLog(QStringLiteral("after")); // above it: emptied first, label shown
        QCOMPARE(pane.text(), QStringLiteral("after\r\n"));
        QVERIFY(pane.purgedLabelVisible());
        log.cmdClear_Click(2);
        QVERIFY(pane.text().isEmpty() && !pane.purgedLabelVisible());
        // A single entry longer than the limit is kept whole, purged on the next.
        log.AddLog(QString(kPanePurgeLimit + 10, u'b'));
        QCOMPARE(pane.text().size(), kPanePurgeLimit + 12);
        log.AddLog(QStringLiteral("c"));
        QCOMPARE(pane.text(), QStringLiteral("c\r\n"));
    }

    void incomingPurgesWhenTheResultWouldExceedTheLimit()
    {
        const struct {
            qsizetype before, added;
            bool purged;
        } cases[] = {{64990, 10, false}, {64990, 11, true}, {65000, 0, false}, {0, 70000, true}};
        for (const auto &c : cases) {
            OperatorLog log;
            log.AddIncoming(QString(c.before, u'o'));
            log.AddIncoming(QString(c.added, u'n'));
            QCOMPARE(log.incomingPane().text().size(), c.purged ? c.added : c.before + c.added);
            QVERIFY(!log.incomingPane().purgedLabelVisible()); // only out of memory shows it
        }
    }

    void settingsFileLineByLine()
    {
        // Fields a file does not reach keep the sentinels IP, PORT, DIR.
        const struct {
            QByteArray bytes;
            int assigned;
            const char *ip, *port, *folder;
        } cases[] = {{"", 0, "IP", "PORT", "DIR"},
                     {"10.0.0.1", 1, "10.0.0.1", "PORT", "DIR"},
                     {"a\r\n99\r\n", 2, "a", "99", "DIR"},
                     {"a\r\n99\r\n/m\r\nextra\r\n", 3, "a", "99", "/m"},
                     {"a\r\n\r\n/m\r\n", 3, "a", "", "/m"},
                     {" a \r\n 1 \r\n /m dir \r\n", 3, " a ", " 1 ", " /m dir "},
                     {"a\rb\rc\r", 3, "a", "b", "c"},
                     {"a\nb\nc\n", 3, "a", "b", "c"},
                     {"a\n\rc\n", 3, "a", "", "c"},
                     {"\r\n1\r\n/m\xc3\xbc\r\n", 3, "", "1", "/m\xc3\xbc"}};
        for (const auto &c : cases) {
            SettingsFields f;
            f.ip = QStringLiteral("IP"), f.port = QStringLiteral("PORT"),
            f.musicFolder = QStringLiteral("DIR");
            QCOMPARE(parseSettings(c.bytes, f), c.assigned);
            const QString got = f.ip + u'|' + f.port + u'|' + f.musicFolder;
            QCOMPARE(got, QString::fromUtf8(c.ip) + u'|' + c.port + u'|' + QString::fromUtf8(c.folder));
        }
    }

    void saveReplacesTheFileWholeOrNotAtAll()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QLatin1String(kSettingsFileName));
        const QByteArray old = "1.1.1.1\r\n1\r\n/a/long/old/folder\r\nfourth line\r\n";
        QVERIFY(writeFile(path, old));
        SettingsFields fields;
        fields.ip = QStringLiteral(" ip "), fields.port = QString(),
        fields.musicFolder = QString::fromUtf8("/m\xc3\xbc ");
        QString whyNot;
        // The write ends before the commit, as a crash would.
        QVERIFY(!SaveSettings(path, fields, &whyNot, [] { return false; }));
        QCOMPARE(readFile(path), old);
        // No half-written temporary file is left beside it.
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{kSettingsFileName});
        QVERIFY(SaveSettings(path, fields)); // values verbatim, the shorter file replacing the old one whole
        QCOMPARE(readFile(path), QByteArray(" ip \r\n\r\n/m\xc3\xbc \r\n"));
    }

    void linesNotReadExactlyAreWrittenBackAsTheyWere()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QLatin1String(kSettingsFileName));
        // A folder whose name is not UTF-8 (Latin-1 from an old system).
        const QByteArray latin1 = "10.0.0.1\r\n15150\r\n/srv/M\xfcsik \xe9t\xe9\r\n";
        QVERIFY(writeFile(path, latin1));
        Server server;
        SettingsFields loaded;
        LoadSettings(path, loaded);
        server.setFields(loaded);
        QVERIFY(SaveSettings(path, server.fields()));
        QCOMPARE(readFile(path), latin1);
        server.setTxtMusicFolder(server.fields().musicFolder
                                 + u'/'); // the operator's edit is written as shown
        QVERIFY(SaveSettings(path, server.fields()));
        QCOMPARE(readFile(path),
                 QByteArray("10.0.0.1\r\n15150\r\n/srv/M\xef\xbf\xbdsik \xef\xbf\xbdt\xef\xbf\xbd/\r\n"));

        // A first line of 10 MB: not held whole, yet the lines after it are
        // read and it is written back byte for byte. Its CR falls on the last
        // byte of a piece read, its LF on the first of the next.
        const QByteArray huge = QByteArray(160 * kSettingsReadPiece - 2, 'h') + "\xff";
        const QByteArray withHuge = huge + "\r\n8080\r\n/music\r\n";
        QVERIFY(writeFile(path, withHuge));
        SettingsFields big;
        LoadSettings(path, big);
        QCOMPARE(big.port + u'|' + big.musicFolder, QStringLiteral("8080|/music"));
        QCOMPARE(big.ip.size(), kMaxSettingsLineBytes);
        const QString elsewhere = dir.filePath(QStringLiteral("copy.ini"));
        QVERIFY(SaveSettings(elsewhere, big));
        QVERIFY(readFile(elsewhere) == withHuge); // QCOMPARE would print 10 MB
        big.port = QStringLiteral("9090");
        QVERIFY(SaveSettings(path, big));
        QVERIFY(readFile(path) == huge + "\r\n9090\r\n/music\r\n");

        // Changed by hand since it was read: the line cannot be written back,
        // so nothing is written and the file stays as the hand left it.
        const QByteArray byHand = QByteArray(200000, 'e') + "\r\n1\r\n";
        QVERIFY(writeFile(path, byHand));
        QString whyNot;
        QVERIFY(!SaveSettings(path, big, &whyNot));
        QVERIFY2(whyNot.contains(path), qPrintable(whyNot));
        QVERIFY(readFile(path) == byHand);
    }

    void anAutoSelectedAddressIsNotSavedAsTheOperatorsChoice()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QLatin1String(kSettingsFileName));
        Server server;
        server.log().setEchoToStdout(false);
        server.setTxtIPAutoSelected(QStringLiteral("192.0.2.7")); // an empty field, filled by Listen
        QCOMPARE(server.fields().ip, QStringLiteral("192.0.2.7"));
        QVERIFY(SaveSettings(path, server.fields()));
        QCOMPARE(readFile(path), QByteArray("\r\n15150\r\n\r\n"));
        server.setTxtIP(QStringLiteral("192.0.2.7")); // typed by the operator: now it is theirs
        QVERIFY(SaveSettings(path, server.fields()));
        QCOMPARE(readFile(path), QByteArray("192.0.2.7\r\n15150\r\n\r\n"));
    }

    void aListenerThatStartedNamesTheTitleAndAnEmptyIPField()
    {
        Server server;
        server.log().setEchoToStdout(false);
        auto listen = [&](const QString &ip, const QString &port) {
            server.setTxtIP(ip);
            server.setTxtPort(port);
            server.lines().cmdListen_Click(server.fields().ip, server.fields().port);
        };
        // No address given: the one picked is shown in the field and the title.
        const QString chosen = Winsock::primaryIPv4();
        listen(QString(), QStringLiteral("0"));
        QCOMPARE(server.fields().ip, chosen);
        QCOMPARE(server.myIP(), chosen);
        QVERIFY(server.title().endsWith("  [" + chosen + "]"));
        // A listen that fails changes neither.
        listen(QStringLiteral("127.0.0.1"), QStringLiteral("70000"));
        QCOMPARE(server.myIP(), chosen);
        QVERIFY(server.title().endsWith("  [" + chosen + "]"));
        // The operator's own text stays in the field, whatever the listener's address reads.
        listen(QStringLiteral(" 127.0.0.1"), QStringLiteral("0"));
        QCOMPARE(server.fields().ip, QStringLiteral(" 127.0.0.1"));
        QCOMPARE(server.myIP(), QStringLiteral("127.0.0.1"));
        QVERIFY(server.title().endsWith("  [127.0.0.1]"));
    }

    void wholeSongProgressReachesTheSizeOnlyAtTheEndAndResets()
    {
        Rig rig;
        // Many pieces, whether a piece is 4 KiB or 1 MiB.
        const qint64 size = (3 << 20) + 123;
        const QByteArray song = rig.addSong("whole.mp3", size, 5);
        QVERIFY(rig.start());
        ProtocolClient &c = rig.connect();
        ServerStatus status(rig.lines, rig.catalogue, rig.interpreter);
        QList<qint64> seen; // the song's count at every change while it streams; -1: its end
        qint64 pastTwoPieces = -1;
        QString textThen;
        QObject::connect(&status, &ServerStatus::changed, &rig.context, [&] {
            const qint64 sent = status.songStream().sent;
            if (!status.songStream().active) {
                if (!seen.isEmpty() && seen.last() >= 0)
                    seen << -1;
                return;
            }
            seen << sent;
            // A count of the piece in flight would never get this far.
            if (pastTwoPieces < 0 && sent > (2 << 20)) {
                pastTwoPieces = sent;
                textThen = status.activityText();
            }
        });
        for (int round = 1; round <= 2; ++round) {
            const qsizetype from = seen.size();
            pastTwoPieces = -1;
            QVERIFY(rig.sendOne(c, "SONG 1\r\n"));
            QCOMPARE(c.read(4096).size(), 4096);
            QVERIFY(rig.sendOne(c, "READY\r\n"));
            QVERIFY(c.read(size) == song);
            QVERIFY(c.waitUntil([&] { return !status.songStream().active; }));

            QVERIFY2(pastTwoPieces > 0, "the whole song was never counted");
            QVERIFY2(textThen.startsWith(
                             QStringLiteral("Sending whole.mp3: %1% (").arg(pastTwoPieces * 100 / size)),
                     qPrintable(textThen));
            // Never back, the size reached at the end only, then forgotten:
            // a second song starts from nothing again.
            const QList<qint64> run = seen.mid(from);
            QVERIFY(run.size() > 3 && run.count(-1) == 1 && run.last() == -1);
            const qsizetype full = run.indexOf(size);
            QVERIFY2(full > 0, "the size was never reached");
            for (qsizetype i = 1; i < full; ++i)
                QVERIFY2(run[i - 1] <= run[i] && run[i] < size, qPrintable(QString::number(run[i])));
            for (qsizetype i = full; i + 1 < run.size(); ++i)
                QCOMPARE(run[i], size);
            QCOMPARE(status.songStream().sent, 0);
            QCOMPARE(status.activityText(), QStringLiteral("Idle"));
            QVERIFY(!status.busy());
        }
    }

    void scanCountsEndAsTheCatalogue()
    {
        QTemporaryDir music;
        const auto add = [&](const QString &relative) {
            QVERIFY(QDir(music.path()).mkpath(QFileInfo(relative).path()));
            QVERIFY(writeFile(music.filePath(relative), "ID3"));
        };
        for (int a = 0; a < 6; ++a) {
            for (int b = 0; b < 5; ++b) {
                for (int t = 0; t < 4; ++t)
                    add(QStringLiteral("A%1/B%2/t%3.mp3").arg(a).arg(b).arg(t));
                add(QStringLiteral("A%1/B%2/cover.jpg").arg(a).arg(b));
            }
        }
        add(QStringLiteral("top.MP3"));
        add(QStringLiteral(".hidden/h.mp3"));
        Server server;
        server.log().setEchoToStdout(false);
        server.setTxtMusicFolder(music.path());
        server.catalogue().setPumpInterval(std::chrono::nanoseconds(0)); // a look at every entry
        ServerStatus &status = server.status();
        QList<std::pair<qint64, qint64>> during;
        QObject::connect(&status, &ServerStatus::changed, &server, [&] {
            if (status.scanning())
                during << std::pair(status.scanFolders(), status.scanSongs());
        });
        QString scanningText;
        QObject::connect(&server.catalogue(), &SongCatalogue::scanProgress, &server,
                         [&] { scanningText = status.activityText(); });
        server.catalogue().cmdReload_Click();

        const qint32 songs = server.catalogue().SongCount();
        QCOMPARE(songs, 6 * 5 * 4 + 1);
        QVERIFY(during.size() > 10);
        for (qsizetype i = 1; i < during.size(); ++i)
            QVERIFY(during[i - 1].first <= during[i].first && during[i - 1].second <= during[i].second);
        QVERIFY(during.last().first <= 1 + 6 + 6 * 5 && during.last().second <= songs);
        QVERIFY2(scanningText.startsWith(QStringLiteral("Scanning the music folder: ")),
                 qPrintable(scanningText));
        // At its end the status counts what the catalogue holds.
        QVERIFY(!status.scanning());
        QCOMPARE(status.songs(), songs);
        QCOMPARE(status.scanSongs(), qint64(songs));
        QCOMPARE(status.scanFolders(), server.catalogue().FileHelper()->foldersEntered());
        QCOMPARE(status.scanFolders(), qint64(1 + 6 + 6 * 5));
        QCOMPARE(status.songsText(), Wire::groupedCount(songs) + QStringLiteral(" songs offered"));
        QCOMPARE(status.activityText(), QStringLiteral("Idle"));
    }

    void clientsAndListenersAsTheyComeAndGo()
    {
        Rig rig;
        ServerStatus status(rig.lines, rig.catalogue, rig.interpreter);
        QVERIFY(rig.start());
        Lines &lines = rig.lines;
        QCOMPARE(status.listenText(),
                 QStringLiteral("Listening on 127.0.0.1, port %1 (chosen by the system)").arg(rig.port));
        QCOMPARE(status.clientsText(), QStringLiteral("No clients"));
        ProtocolClient &a = rig.connect();
        ProtocolClient &b = rig.connect();
        rig.connect();
        QCOMPARE(status.clients(), 3);
        QCOMPARE(status.clientsText(), QStringLiteral("3 clients"));
        a.socket.disconnectFromHost(); // a client leaving
        QVERIFY(a.waitUntil([&] { return status.clients() == 2; }));
        rig.selectOnly(b.line); // the operator's close
        lines.cmdClose_Click();
        QCOMPARE(status.clients(), 1);

        // A Listen that fails beside a running listener changes nothing shown.
        const QString running = status.listenText();
        lines.cmdListen_Click(QStringLiteral("127.0.0.1"), QString::number(rig.port));
        QCOMPARE(status.listenText(), running);
        // With the listener closed nothing listens, and the status says why.
        rig.selectOnly(0);
        lines.cmdClose_Click();
        QCOMPARE(status.listeners().size(), 0);
        QCOMPARE(status.listenText(), QStringLiteral("Not listening: the listener on line 0 was closed"));
        QTcpServer squatter;
        QVERIFY(squatter.listen(QHostAddress::LocalHost));
        lines.cmdListen_Click(QStringLiteral("127.0.0.1"), QString::number(squatter.serverPort()));
        QCOMPARE(rig.entries.last(),
                 QStringLiteral("ERROR (listen port):  10048 - ") + status.notListeningReason());
        QVERIFY(status.listenText().startsWith(QStringLiteral("Not listening: "))
                && status.notListeningReason().size() > 3);
        // An any-address listener is shown as such, not as one address.
        lines.cmdListen_Click(QStringLiteral("0.0.0.0"), QStringLiteral("0"));
        QCOMPARE(status.listeners().size(), 1);
        QCOMPARE(status.listenText(),
                 QStringLiteral("Listening on all interfaces (IPv4 only), port %1 (chosen by the system)")
                         .arg(status.listeners().first().port));
        QCOMPARE(status.clients(), 1);
    }

    void statusTextsRateAndPercent()
    {
        // Driven by hand through the handlers: no line 9 exists.
        Server server;
        server.log().setEchoToStdout(false);
        ServerStatus &s = server.status();
        qint64 now = 1000;
        s.setClock([&] { return now; });
        QCOMPARE(QStringList({s.listenText(), s.songsText(), s.clientsText(), s.activityText()}),
                 QStringList({"Not listening", "0 songs offered", "No clients", "Idle"}));
        s.Lines_listenStarted(3, QStringLiteral("::"), 15150, false);
        s.Lines_listenStarted(4, QStringLiteral("192.0.2.1"), 15151, false);
        QCOMPARE(s.listenText(), QStringLiteral("Listening on all interfaces, port 15150, and 1 more"));
        s.Lines_lineReleased(3);
        QCOMPARE(s.listenText(), QStringLiteral("Listening on 192.0.2.1, port 15151"));

        // A percent is floored: 100 only once every byte has gone. The rate
        // falls while a client reads nothing.
        s.Interpreter_songStreamStarted(9, QStringLiteral("/music/a b.mp3"), 1000);
        now = 2000;
        s.Lines_SendProgress(9, 999, 1);
        QCOMPARE(s.activityText(),
                 QStringLiteral("Sending a b.mp3: 99% (%1 of %2 bytes), 999 bytes/s, to line 9")
                         .arg(Wire::groupedCount(999), Wire::groupedCount(1000)));
        now = 2000 + 10000;
        QCOMPARE(s.songRate(), 0.0);
        s.Lines_SendProgress(8, 1000, 0); // another line's send is not the song's
        QCOMPARE(s.songStream().sent, 999);
        s.Lines_SendProgress(9, 1000, 0);
        QVERIFY(s.activityText().startsWith(QStringLiteral("Sending a b.mp3: 100% (")));
        s.Interpreter_songStreamEnded(9, 1000, 1000);
        QCOMPARE(s.activityText(), QStringLiteral("Idle"));

        // A send still out on the line when a stream begins (a header) is
        // not the song's; a stream whose last piece is still out ends with it.
        server.lines().setLineBusy(9, true);
        s.Interpreter_songStreamStarted(9, QStringLiteral("/music/c.mp3"), 5000);
        server.lines().setLineBusy(9, false);
        s.Lines_SendProgress(9, 4096, 0);
        s.Lines_SendComplete(9);
        QCOMPARE(s.songStream().sent, 0);
        s.Lines_SendProgress(9, 4096, 0);
        s.Lines_SendComplete(9);
        s.Lines_SendProgress(9, 452, 452);
        s.Interpreter_songStreamEnded(9, 5000, 5000); // all handed over, not all taken yet
        QCOMPARE(s.songStream().sent, 4096 + 452);
        s.Lines_SendProgress(9, 904, 0);
        QCOMPARE(s.songStream().sent, 5000);
        s.Lines_SendComplete(9);
        QVERIFY(!s.songStream().active);
    }

    void warningsWhereTheOperatorMustActAndNoneOtherwise()
    {
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath(QStringLiteral("song.mp3")), "ID3"));
        Server server;
        server.log().setEchoToStdout(false);
        QStringList log;
        QObject::connect(&server.log().logPane(), &MessagePane::appended, &server,
                         [&](const QString &entry) { log << entry.chopped(2); });
        const auto warnings = [&] { return log.filter(QRegularExpression(QStringLiteral("^Warning: "))); };

        // All is well: a folder that can be read, a port the field names.
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        const QString port = QString::number(probe.serverPort());
        probe.close();
        server.setTxtMusicFolder(dir.path());
        server.catalogue().LoadMP3List();
        server.lines().cmdListen_Click(QStringLiteral("127.0.0.1"), port);
        QCOMPARE(warnings(), QStringList());
        QCOMPARE(log.first(), QStringLiteral("Songs Available: 1\r\n"));

        // A folder that is missing, or is no folder: at a scan and at Reload,
        // each time before the count, which stays 0.
        const struct {
            QString folder, reason;
        } unreadable[]
                = {{dir.filePath(QStringLiteral("missing")), QStringLiteral("No such file or directory")},
                   {dir.filePath(QStringLiteral("song.mp3")), QStringLiteral("Not a directory")}};
        for (const auto &u : unreadable) {
            server.setTxtMusicFolder(u.folder);
            log.clear();
            server.catalogue().LoadMP3List();
            server.catalogue().cmdReload_Click();
            const QString warning = OperatorWarnings::unreadableMusicFolder(u.folder, u.reason);
            QCOMPARE(log,
                     QStringList({warning, "Songs Available: 0\r\n", warning, "Songs Available: 0\r\n"}));
            QVERIFY(warning.contains(u.folder));
            QCOMPARE(server.status().songsText(),
                     QStringLiteral("0 songs offered: the music folder cannot be read"));
        }
        server.setTxtMusicFolder(dir.path());
        server.catalogue().cmdReload_Click();
        QCOMPARE(server.status().songsText(), QStringLiteral("1 song offered"));

        // A port field that names no port: the listener is opened as ever on
        // the port the system chose, and the warning before it names that port.
        for (const QString &field : {QStringLiteral("0"), QString(), QStringLiteral("port")}) {
            log.clear();
            server.lines().cmdListen_Click(QStringLiteral("127.0.0.1"), field);
            QCOMPARE(log.size(), 2);
            const QString chosen = log.last().section(QStringLiteral(" - "), -1);
            QCOMPARE(log.last(), QStringLiteral("Listening on 127.0.0.1 - ") + chosen);
            QVERIFY(chosen.toInt() > 0);
            QCOMPARE(log.first(), OperatorWarnings::portChosenBySystem(quint16(chosen.toInt())));
            QVERIFY(log.first().contains(QStringLiteral(" port ") + chosen + QLatin1Char(',')));
        }
    }

    void stdoutEntryIsOneEscapedStampedLine()
    {
        // A client's text in a log entry can neither drive the operator's
        // terminal nor start a line that looks like the server's.
        const QString forged = QStringLiteral(
                "msg=[a\tb\r\n2026-01-01 00:00:00 Listening on 1.2.3.4 - 1\r\n\x1b]0;t\x07]");
        const QDateTime when(QDate(2026, 12, 7), QTime(4, 5, 6));
        QCOMPARE(stdoutLogLine(forged, when),
                 QByteArray(
                         "2026-12-07 04:05:06 msg=[a\\x09b\\r\\n2026-01-01 00:00:00 Listening on 1.2.3.4 - 1"
                         "\\r\\n\\x1b]0;t\\x07]\n"));
        QCOMPARE(stdoutLogLine(QChar(0x9b) + QString::fromUtf8("31m \xc3\xbc\x7f")),
                 QByteArray("\\xc2\\x9b31m \xc3\xbc\\x7f\n"));
    }

    void qtNoiseIsKeptOffStandardErrorButNotRealWarnings()
    {
        const struct {
            QtMsgType type;
            const char *category, *message;
            bool noise;
        } cases[] = {
                {QtWarningMsg, "default",
                 "QStandardPaths: XDG_RUNTIME_DIR not set, defaulting to '/tmp/runtime-root'", true},
                {QtWarningMsg, "default", "QFontDatabase: Cannot find font directory /usr/lib/fonts.", true},
                {QtWarningMsg, "qt.qpa.xcb", "QXcbConnection: XCB error: 3 (BadWindow)", true},
                {QtWarningMsg, "default", "This plugin does not support propagateSizeHints()", true},
                {QtWarningMsg, "default", "QSocketNotifier: Invalid socket specified", false},
                {QtCriticalMsg, "qt.qpa.plugin", "Could not load the Qt platform plugin \"xcb\"", false},
                {QtFatalMsg, "default", "QStandardPaths: nothing else is left", false}};
        for (const auto &c : cases) {
            const QMessageLogContext context(nullptr, 0, nullptr, c.category);
            QVERIFY2(isQtNoise(c.type, context, QString::fromLatin1(c.message)) == c.noise, c.message);
        }
    }

    void standardOutputKeepsLinesWholeAndCountsWhatItDrops()
    {
        // A small pipe that nobody reads until the writer has dropped lines;
        // every line that arrives is whole, and the dropped ones are counted.
        int fds[2];
        QCOMPARE(::pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
        const auto closeBoth = qScopeGuard([&] {
            ::close(fds[0]);
            ::close(fds[1]);
        });
        QVERIFY(::fcntl(fds[1], F_SETPIPE_SZ, 4096) > 0);
        LineWriter writer(fds[1], [](qint64 n) { return "(" + QByteArray::number(n) + " dropped)\n"; });

        QList<QByteArray> sent;
        QByteArray got;
        const auto drained = [&] { // reads what is there; true once the writer has reported its drops
            char buffer[8192];
            for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
                got.append(buffer, n);
            return got.endsWith(" dropped)\n") && writer.droppedUnreported() == 0;
        };
        for (int i = 0; i < 300; ++i) { // some longer than the pipe: written in part
            sent << "line " + QByteArray::number(i) + ' ' + QByteArray(i * 397 % 6000, char('a' + i % 26))
                            + '\n';
            writer.write(sent.last());
            if (i % 3 == 0) { // room for the next line, right after one written in part
                char buffer[2500];
                got.append(buffer, std::max<ssize_t>(0, ::read(fds[0], buffer, sizeof buffer)));
            }
        }
        QVERIFY(writer.droppedUnreported() > 0);
        QTRY_VERIFY_WITH_TIMEOUT(drained(), 10000); // the event loop writes what was held back
        // The rest of a line too long to hold is cut, and the line still ends.
        sent << QByteArray(3 * LineWriter::kMaxPendingBytes, 'L') + '\n';
        writer.write(sent.last());
        sent << "after the long line\n";
        writer.write(sent.last());
        QTRY_VERIFY_WITH_TIMEOUT(drained(), 10000);

        qint64 whole = 0, dropped = 0, cut = 0;
        qsizetype next = 0;
        const QList<QByteArray> lines = got.split('\n');
        QVERIFY(lines.last().isEmpty());
        for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
            const QByteArray &line = lines[i];
            if (line.startsWith('(') && line.endsWith(" dropped)")) {
                dropped += line.mid(1, line.indexOf(' ') - 1).toLongLong();
                continue;
            }
            // Lines come in order: the next one that arrived is whole, or the long one cut.
            while (next < sent.size() && sent[next] != line + '\n'
                   && !(line.endsWith(" [...]") && sent[next].startsWith(line.chopped(6))))
                ++next;
            QVERIFY2(next < sent.size(), line.left(80).constData());
            (line.endsWith(" [...]") ? cut : whole) += 1;
            ++next;
        }
        QCOMPARE(cut, 1);
        QCOMPARE(whole + cut + dropped, sent.size());
        qInfo("%lld lines whole, %lld dropped and reported, %lld cut", whole, dropped, cut);
    }

    void aTerminalIsMadeNonBlockingThroughADescriptionOfItsOwn()
    {
        // The shell reads its commands through the description it handed
        // over: that one must stay blocking.
        int master = -1, slave = -1;
        QCOMPARE(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        const int shells = ::dup(slave);
        const auto closeAll = qScopeGuard([&] {
            ::close(master);
            ::close(slave);
            ::close(shells);
        });
        LineWriter writer(slave, [](qint64) { return QByteArray(); });
        writer.prepareNonBlocking();
        QVERIFY(::fcntl(slave, F_GETFL) & O_NONBLOCK);
        QVERIFY(!(::fcntl(shells, F_GETFL) & O_NONBLOCK));
        writer.write("to the same terminal\n");
        char buffer[64] = {};
        QVERIFY(::read(master, buffer, sizeof buffer - 1) > 0);
        QCOMPARE(QByteArray(buffer).trimmed(), QByteArray("to the same terminal"));
    }
};

QTEST_GUILESS_MAIN(TestApp)
#include "tst_app.moc"
