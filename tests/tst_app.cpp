// The core under the window: the panes' purge rules, the settings file and
// the log's echo on standard output, which never waits.
#include "AppFixture.h"
#include "app/LineWriter.h"
#include "app/OperatorLog.h"
#include "app/QtMessages.h"
#include "app/Server.h"
#include "app/SettingsFile.h"
#include "net/Lines.h"
#include "net/Winsock.h"

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
        log.AddLog(QString(kPanePurgeLimit - 2, u'a'));   // 65000 with CR LF is not above the limit
        log.AddLog(QStringLiteral("next"));
        QCOMPARE(pane.text().size(), kPanePurgeLimit + 6);
        QVERIFY(!pane.purgedLabelVisible());
        log.AddLog(QStringLiteral("after"));   // above it: emptied first, label shown
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
        const struct { qsizetype before, added; bool purged; } cases[] = {
            {64990, 10, false}, {64990, 11, true}, {65000, 0, false}, {0, 70000, true}};
        for (const auto &c : cases) {
            OperatorLog log;
            log.AddIncoming(QString(c.before, u'o'));
            log.AddIncoming(QString(c.added, u'n'));
            QCOMPARE(log.incomingPane().text().size(), c.purged ? c.added : c.before + c.added);
            QVERIFY(!log.incomingPane().purgedLabelVisible());   // only out of memory shows it
        }
    }

    void settingsFileLineByLine()
    {
        // Fields a file does not reach keep the sentinels IP, PORT, DIR.
        const struct { QByteArray bytes; int assigned; const char *ip, *port, *folder; } cases[] = {
            {"", 0, "IP", "PORT", "DIR"}, {"10.0.0.1", 1, "10.0.0.1", "PORT", "DIR"},
            {"a\r\n99\r\n", 2, "a", "99", "DIR"}, {"a\r\n99\r\n/m\r\nextra\r\n", 3, "a", "99", "/m"},
            {"a\r\n\r\n/m\r\n", 3, "a", "", "/m"}, {" a \r\n 1 \r\n /m dir \r\n", 3, " a ", " 1 ", " /m dir "},
            {"a\rb\rc\r", 3, "a", "b", "c"}, {"a\nb\nc\n", 3, "a", "b", "c"}, {"a\n\rc\n", 3, "a", "", "c"},
            {"\r\n1\r\n/m\xc3\xbc\r\n", 3, "", "1", "/m\xc3\xbc"}};
        for (const auto &c : cases) {
            SettingsFields f;
            f.ip = QStringLiteral("IP"), f.port = QStringLiteral("PORT"), f.musicFolder = QStringLiteral("DIR");
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
        fields.ip = QStringLiteral(" ip "), fields.port = QString(), fields.musicFolder = QString::fromUtf8("/m\xc3\xbc ");
        QString whyNot;
        // The write ends before the commit, as a crash would.
        QVERIFY(!SaveSettings(path, fields, &whyNot, [] { return false; }));
        QCOMPARE(readFile(path), old);
        // No half-written temporary file is left beside it.
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{kSettingsFileName});
        QVERIFY(SaveSettings(path, fields));   // values verbatim, the shorter file replacing the old one whole
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
        server.setTxtMusicFolder(server.fields().musicFolder + u'/');   // the operator's edit is written as shown
        QVERIFY(SaveSettings(path, server.fields()));
        QCOMPARE(readFile(path), QByteArray("10.0.0.1\r\n15150\r\n/srv/M\xef\xbf\xbdsik \xef\xbf\xbdt\xef\xbf\xbd/\r\n"));

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
        QVERIFY(readFile(elsewhere) == withHuge);   // QCOMPARE would print 10 MB
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
        server.setTxtIPAutoSelected(QStringLiteral("192.0.2.7"));   // an empty field, filled by Listen
        QCOMPARE(server.fields().ip, QStringLiteral("192.0.2.7"));
        QVERIFY(SaveSettings(path, server.fields()));
        QCOMPARE(readFile(path), QByteArray("\r\n15150\r\n\r\n"));
        server.setTxtIP(QStringLiteral("192.0.2.7"));   // typed by the operator: now it is theirs
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

    void stdoutEntryIsOneEscapedStampedLine()
    {
        // A client's text in a log entry can neither drive the operator's
        // terminal nor start a line that looks like the server's.
        const QString forged = QStringLiteral("msg=[a\tb\r\n2026-01-01 00:00:00 Listening on 1.2.3.4 - 1\r\n\x1b]0;t\x07]");
        const QDateTime when(QDate(2026, 12, 7), QTime(4, 5, 6));
        QCOMPARE(stdoutLogLine(forged, when),
                 QByteArray("2026-12-07 04:05:06 msg=[a\\x09b\\r\\n2026-01-01 00:00:00 Listening on 1.2.3.4 - 1"
                            "\\r\\n\\x1b]0;t\\x07]\n"));
        QCOMPARE(stdoutLogLine(QChar(0x9b) + QString::fromUtf8("31m \xc3\xbc\x7f")), QByteArray("\\xc2\\x9b31m \xc3\xbc\\x7f\n"));
    }

    void qtNoiseIsKeptOffStandardErrorButNotRealWarnings()
    {
        const struct { QtMsgType type; const char *category, *message; bool noise; } cases[] = {
            {QtWarningMsg, "default", "QStandardPaths: XDG_RUNTIME_DIR not set, defaulting to '/tmp/runtime-root'", true},
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
        const auto closeBoth = qScopeGuard([&] { ::close(fds[0]); ::close(fds[1]); });
        QVERIFY(::fcntl(fds[1], F_SETPIPE_SZ, 4096) > 0);
        LineWriter writer(fds[1], [](qint64 n) { return "(" + QByteArray::number(n) + " dropped)\n"; });

        QList<QByteArray> sent;
        QByteArray got;
        const auto drained = [&] {   // reads what is there; true once the writer has reported its drops
            char buffer[8192];
            for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
                got.append(buffer, n);
            return got.endsWith(" dropped)\n") && writer.droppedUnreported() == 0;
        };
        for (int i = 0; i < 300; ++i) {   // some longer than the pipe: written in part
            sent << "line " + QByteArray::number(i) + ' ' + QByteArray(i * 397 % 6000, char('a' + i % 26)) + '\n';
            writer.write(sent.last());
            if (i % 3 == 0) {   // room for the next line, right after one written in part
                char buffer[2500];
                got.append(buffer, std::max<ssize_t>(0, ::read(fds[0], buffer, sizeof buffer)));
            }
        }
        QVERIFY(writer.droppedUnreported() > 0);
        QTRY_VERIFY_WITH_TIMEOUT(drained(), 10000);   // the event loop writes what was held back
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
        const auto closeAll = qScopeGuard([&] { ::close(master); ::close(slave); ::close(shells); });
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
