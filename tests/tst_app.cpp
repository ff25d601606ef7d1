// The core under the window: the panes' purge rules, the settings file and
// the log's echo on standard output.
#include "AppFixture.h"
#include "app/OperatorLog.h"
#include "app/Server.h"
#include "app/SettingsFile.h"

#include <QtTest>
#include <csignal>
#include <fcntl.h>
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
            SettingsFields f{QStringLiteral("IP"), QStringLiteral("PORT"), QStringLiteral("DIR")};
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
        const SettingsFields fields{QStringLiteral(" ip "), QString(), QString::fromUtf8("/m\xc3\xbc ")};
        SaveSettings(path, fields, [] { return false; });   // the write ends before the commit, as a crash would
        QCOMPARE(readFile(path), old);
        // No half-written temporary file is left beside it.
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{kSettingsFileName});
        SaveSettings(path, fields);   // values verbatim, the shorter file replacing the old one whole
        QCOMPARE(readFile(path), QByteArray(" ip \r\n\r\n/m\xc3\xbc \r\n"));
    }

    void stdoutEchoIsEscapedAndNeverBlocks()
    {
        // A client's text in a log entry cannot drive the operator's terminal.
        QCOMPARE(stdoutLogLine(QStringLiteral("a\tb\r\nc \x1b]0;t\x07")), QByteArray("a\tb\r\nc \\x1b]0;t\\x07\n"));
        QCOMPARE(stdoutLogLine(QChar(0x9b) + QString::fromUtf8("31m \xc3\xbc")), QByteArray("\\xc2\\x9b31m \xc3\xbc\n"));

        std::signal(SIGPIPE, SIG_IGN);
        int fds[2];
        QCOMPARE(::pipe2(fds, O_NONBLOCK), 0);
        const int savedStdout = ::dup(STDOUT_FILENO);
        ::dup2(fds[1], STDOUT_FILENO);
        const auto restore = qScopeGuard([&] { ::dup2(savedStdout, STDOUT_FILENO); ::close(savedStdout); ::close(fds[1]); });
        OperatorLog log;
        for (int i = 0; i < 100; ++i)   // a full pipe nobody reads: every call still returns
            log.AddLog(QString(10000, u'f'));
        ::close(fds[0]);   // closed: writes fail with EPIPE
        log.AddLog(QStringLiteral("to nobody"));
        QVERIFY(log.logPane().text().endsWith(QStringLiteral("to nobody\r\n")));
    }
};

QTEST_GUILESS_MAIN(TestApp)
#include "tst_app.moc"
