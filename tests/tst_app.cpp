// Core-level tests of the application: the purge rules of the log and the
// incoming pane, the settings file, and the standard-output echo of the log.
#include "app/OperatorLog.h"
#include "app/Server.h"
#include "app/SettingsFile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <new>
#include <unistd.h>

namespace {
const QString CRLF = QStringLiteral("\r\n");

// Rebuilds a pane's text from its signals alone, as the window does.
struct PaneReplica {
    QString text;
    bool label = false;
    explicit PaneReplica(MessagePane &pane)
    {
        text = pane.text();
        label = pane.purgedLabelVisible();
        QObject::connect(&pane, &MessagePane::appended, [this](const QString &t) { text += t; });
        QObject::connect(&pane, &MessagePane::cleared, [this] { text.clear(); });
        QObject::connect(&pane, &MessagePane::purgedLabelChanged, [this](bool v) { label = v; });
    }
};

QByteArray readFile(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return "<missing>";
    return f.readAll();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// Redirects standard output into a pipe for the lifetime of the object.
struct StdoutCapture {
    int saved = -1;
    int readEnd = -1;
    StdoutCapture()
    {
        int fds[2];
        if (::pipe(fds) != 0)
            return;
        saved = ::dup(STDOUT_FILENO);
        ::dup2(fds[1], STDOUT_FILENO);
        ::close(fds[1]);
        readEnd = fds[0];
    }
    QByteArray drain()
    {
        QByteArray out;
        ::fcntl(readEnd, F_SETFL, ::fcntl(readEnd, F_GETFL) | O_NONBLOCK);
        char buf[4096];
        ssize_t n;
        while ((n = ::read(readEnd, buf, sizeof buf)) > 0)
            out.append(buf, n);
        return out;
    }
    void closeReader()
    {
        ::close(readEnd);
        readEnd = -1;
    }
    ~StdoutCapture()
    {
        ::dup2(saved, STDOUT_FILENO);
        ::close(saved);
        if (readEnd >= 0)
            ::close(readEnd);
    }
};
} // namespace

class TestApp : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { std::signal(SIGPIPE, SIG_IGN); }

    // --- purge rules ----------------------------------------------------------------
    void logPurgesOnlyAboveTheLimit();
    void incomingPurgesWhenTheResultWouldExceedTheLimit_data();
    void incomingPurgesWhenTheResultWouldExceedTheLimit();
    void clearButtons_data();
    void clearButtons();
    void paneSignalsReproduceTheText();
    void outOfMemoryKeepsOnlyTheNewText();

    // --- settings file ----------------------------------------------------------------
    void parseSettings_data();
    void parseSettings();
    void formatSettingsWritesThreeCrLfLines();
    void settingsRoundTripThroughTheFile();
    void missingFileLeavesFieldsUntouched();
    void saveReplacesALongerFileWhole();
    void saveIntoUnwritableFolderLeavesFileUnchanged();
    void saveIntoReadOnlyFolderLeavesFileUnchanged();
    void interruptedSaveLeavesOldFileWhole();

    // --- standard output ----------------------------------------------------------------
    void stdoutEscaping_data();
    void stdoutEscaping();
    void logEntriesReachStdout();
    void closedOrFullStdoutNeverStopsTheLog();
};

void TestApp::logPurgesOnlyAboveTheLimit()
{
    OperatorLog log;
    log.setEchoToStdout(false);
    MessagePane &pane = log.logPane();

    log.AddLog(QString(kPanePurgeLimit - 2, QLatin1Char('a'))); // 65000 with CR LF
    QCOMPARE(pane.text().size(), kPanePurgeLimit);

    // Exactly 65000 is not purged: the log grows past the limit by one entry.
    log.AddLog(QStringLiteral("next"));
    QCOMPARE(pane.text().size(), kPanePurgeLimit + 6);
    QVERIFY(pane.text().endsWith(QStringLiteral("next\r\n")));
    QVERIFY(!pane.purgedLabelVisible());

    // Above it, the next entry empties the log first and shows the label.
    log.AddLog(QStringLiteral("after"));
    QCOMPARE(pane.text(), QStringLiteral("after\r\n"));
    QVERIFY(pane.purgedLabelVisible());

    // An empty message is a bare line end; the label stays until Clear.
    log.AddLog(QString());
    QCOMPARE(pane.text(), QStringLiteral("after\r\n\r\n"));
    QVERIFY(pane.purgedLabelVisible());

    // A single entry longer than the limit is kept whole, purged on the next.
    log.cmdClear_Click(2);
    log.AddLog(QString(kPanePurgeLimit + 10, QLatin1Char('b')));
    QCOMPARE(pane.text().size(), kPanePurgeLimit + 12);
    QVERIFY(!pane.purgedLabelVisible());
    log.AddLog(QStringLiteral("c"));
    QCOMPARE(pane.text(), QStringLiteral("c\r\n"));
    QVERIFY(pane.purgedLabelVisible());
}

void TestApp::incomingPurgesWhenTheResultWouldExceedTheLimit_data()
{
    QTest::addColumn<int>("before");
    QTest::addColumn<int>("added");
    QTest::addColumn<bool>("purged");

    QTest::newRow("reaches exactly 65000") << 64990 << 10 << false;
    QTest::newRow("one more than 65000") << 64990 << 11 << true;
    QTest::newRow("full pane, one character") << 65000 << 1 << true;
    QTest::newRow("full pane, empty text") << 65000 << 0 << false;
    QTest::newRow("empty pane, exactly 65000") << 0 << 65000 << false;
    QTest::newRow("single text longer than 65000") << 5 << 65001 << true;
    QTest::newRow("empty pane, text longer than 65000") << 0 << 70000 << true;
}

void TestApp::incomingPurgesWhenTheResultWouldExceedTheLimit()
{
    QFETCH(int, before);
    QFETCH(int, added);
    QFETCH(bool, purged);

    OperatorLog log;
    MessagePane &pane = log.incomingPane();
    const QString old(before, QLatin1Char('o'));
    const QString text(added, QLatin1Char('n'));
    log.AddIncoming(old);
    log.AddIncoming(text);

    QCOMPARE(pane.text(), purged ? text : old + text);
    // Only the out-of-memory recovery shows this pane's label.
    QVERIFY(!pane.purgedLabelVisible());
}

void TestApp::clearButtons_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<bool>("clearsIncoming");
    QTest::addColumn<bool>("clearsLog");

    QTest::newRow("0: incoming pane") << 0 << true << false;
    QTest::newRow("1: nothing") << 1 << false << false;
    QTest::newRow("2: log") << 2 << false << true;
    QTest::newRow("3: nothing") << 3 << false << false;
    QTest::newRow("-1: nothing") << -1 << false << false;
}

void TestApp::clearButtons()
{
    QFETCH(int, index);
    QFETCH(bool, clearsIncoming);
    QFETCH(bool, clearsLog);

    for (const bool labelShown : {true, false}) {
        OperatorLog log;
        log.setEchoToStdout(false);
        log.AddLog(QStringLiteral("entry"));
        log.AddIncoming(QStringLiteral("data"));
        log.logPane().setPurgedLabelVisible(labelShown);
        log.incomingPane().setPurgedLabelVisible(labelShown);

        log.cmdClear_Click(index);

        QCOMPARE(log.incomingPane().text(), clearsIncoming ? QString() : QStringLiteral("data"));
        QCOMPARE(log.logPane().text(), clearsLog ? QString() : QStringLiteral("entry\r\n"));
        QCOMPARE(log.incomingPane().purgedLabelVisible(), clearsIncoming ? false : labelShown);
        QCOMPARE(log.logPane().purgedLabelVisible(), clearsLog ? false : labelShown);
    }
}

void TestApp::paneSignalsReproduceTheText()
{
    // The window shows the panes by following these signals only; whatever
    // mix of appends, purges and clears happens, the replica must match.
    OperatorLog log;
    log.setEchoToStdout(false);
    PaneReplica logReplica(log.logPane());
    PaneReplica inReplica(log.incomingPane());

    for (int i = 0; i < 400; ++i) {
        log.AddLog(QString(i * 7 % 1500, QLatin1Char('a' + i % 26)));
        log.AddIncoming(QString(i * 13 % 2100, QLatin1Char('A' + i % 26)));
        if (i == 150)
            log.cmdClear_Click(0);
        if (i == 220)
            log.cmdClear_Click(2);
        QCOMPARE(logReplica.text, log.logPane().text());
        QCOMPARE(inReplica.text, log.incomingPane().text());
        QCOMPARE(logReplica.label, log.logPane().purgedLabelVisible());
    }
    QVERIFY(log.logPane().purgedLabelVisible()); // the loop did purge
}

void TestApp::outOfMemoryKeepsOnlyTheNewText()
{
    OperatorLog log;
    log.setEchoToStdout(false);
    log.AddLog(QStringLiteral("old entry"));
    log.AddIncoming(QStringLiteral("old data"));

    // The first append after this point fails as an allocation would.
    int failures = 1;
    auto failOnce = [&failures](const QString &) {
        if (failures-- > 0)
            throw std::bad_alloc();
    };
    const auto c1 = QObject::connect(&log.logPane(), &MessagePane::appended, failOnce);
    log.AddLog(QStringLiteral("new entry"));
    QObject::disconnect(c1);
    QCOMPARE(log.logPane().text(), QStringLiteral("new entry\r\n"));
    QVERIFY(log.logPane().purgedLabelVisible());

    failures = 1;
    const auto c2 = QObject::connect(&log.incomingPane(), &MessagePane::appended, failOnce);
    log.AddIncoming(QStringLiteral("new data"));
    QObject::disconnect(c2);
    QCOMPARE(log.incomingPane().text(), QStringLiteral("new data"));
    QVERIFY(log.incomingPane().purgedLabelVisible());
}

void TestApp::parseSettings_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("assigned");
    QTest::addColumn<QString>("ip");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("folder");

    // Untouched fields keep the sentinels "IP", "PORT", "DIR".
    QTest::newRow("zero lines") << QByteArray() << 0 << "IP" << "PORT" << "DIR";
    QTest::newRow("one line") << QByteArray("10.0.0.1\r\n") << 1 << "10.0.0.1" << "PORT" << "DIR";
    QTest::newRow("one line, no line end") << QByteArray("10.0.0.1") << 1 << "10.0.0.1" << "PORT" << "DIR";
    QTest::newRow("two lines") << QByteArray("a\r\n99\r\n") << 2 << "a" << "99" << "DIR";
    QTest::newRow("three lines") << QByteArray("a\r\n99\r\n/m\r\n") << 3 << "a" << "99" << "/m";
    QTest::newRow("four lines") << QByteArray("a\r\n99\r\n/m\r\nextra\r\n") << 3 << "a" << "99" << "/m";
    QTest::newRow("empty second line") << QByteArray("a\r\n\r\n/m\r\n") << 3 << "a" << "" << "/m";
    QTest::newRow("empty first line") << QByteArray("\r\n15150\r\n") << 2 << "" << "15150" << "DIR";
    QTest::newRow("blanks kept") << QByteArray(" a \r\n 1 \r\n /m dir \r\n") << 3 << " a " << " 1 " << " /m dir ";
    QTest::newRow("lone CR") << QByteArray("a\rb\rc\r") << 3 << "a" << "b" << "c";
    QTest::newRow("lone LF") << QByteArray("a\nb\nc\n") << 3 << "a" << "b" << "c";
    QTest::newRow("LF then CR is two line ends") << QByteArray("a\n\rc\n") << 3 << "a" << "" << "c";
    QTest::newRow("mixed line ends") << QByteArray("a\r\nb\nc\r") << 3 << "a" << "b" << "c";
    QTest::newRow("UTF-8") << QByteArray("\r\n1\r\n/m\xc3\xbcsik/\xe6\xad\x8c\r\n") << 3 << ""
                           << "1" << QString::fromUtf8("/m\xc3\xbcsik/\xe6\xad\x8c");
    QTest::newRow("byte-order mark") << QByteArray("\xEF\xBB\xBF" "1.2.3.4\r\n") << 1 << "1.2.3.4" << "PORT" << "DIR";
    QTest::newRow("tab and NUL kept") << QByteArray("a\tb\r\nx\0y\r\n", 10) << 2 << "a\tb"
                                      << QString::fromLatin1("x\0y", 3) << "DIR";
}

void TestApp::parseSettings()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, assigned);
    QFETCH(QString, ip);
    QFETCH(QString, port);
    QFETCH(QString, folder);

    SettingsFields fields{QStringLiteral("IP"), QStringLiteral("PORT"), QStringLiteral("DIR")};
    QCOMPARE(::parseSettings(bytes, fields), assigned);
    QCOMPARE(fields.ip, ip);
    QCOMPARE(fields.port, port);
    QCOMPARE(fields.musicFolder, folder);
}

void TestApp::formatSettingsWritesThreeCrLfLines()
{
    QCOMPARE(formatSettings(SettingsFields{}), QByteArray("\r\n15150\r\n\r\n"));
    const SettingsFields f{QStringLiteral(" 1.2.3.4"), QString(), QString::fromUtf8("/m\xc3\xbc ")};
    QCOMPARE(formatSettings(f), QByteArray(" 1.2.3.4\r\n\r\n/m\xc3\xbc \r\n"));
}

void TestApp::settingsRoundTripThroughTheFile()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QLatin1String(kSettingsFileName));
    const SettingsFields written{QStringLiteral(" 192.168.0.10 "), QString(),
                                 QString::fromUtf8("/srv/m\xc3\xbcsic/\xe6\xad\x8c/ ")};
    SaveSettings(path, written);
    QCOMPARE(readFile(path), formatSettings(written));

    SettingsFields read{QStringLiteral("x"), QStringLiteral("y"), QStringLiteral("z")};
    LoadSettings(path, read);
    QCOMPARE(read.ip, written.ip);
    QCOMPARE(read.port, written.port);
    QCOMPARE(read.musicFolder, written.musicFolder);
}

void TestApp::missingFileLeavesFieldsUntouched()
{
    QTemporaryDir dir;
    SettingsFields fields;
    LoadSettings(dir.filePath(QStringLiteral("absent.ini")), fields);
    QCOMPARE(fields.ip, QString());
    QCOMPARE(fields.port, QStringLiteral("15150"));
    QCOMPARE(fields.musicFolder, QString());

    // A folder where the file should be cannot be read either.
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("vorlune.ini")));
    LoadSettings(dir.filePath(QStringLiteral("vorlune.ini")), fields);
    QCOMPARE(fields.port, QStringLiteral("15150"));
}

void TestApp::saveReplacesALongerFileWhole()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QLatin1String(kSettingsFileName));
    QVERIFY(writeFile(path, QByteArray("old-ip-address\r\n1\r\n/a/very/long/old/folder\r\nfourth\r\n")));
    SaveSettings(path, SettingsFields{QStringLiteral("a"), QStringLiteral("2"), QStringLiteral("/b")});
    QCOMPARE(readFile(path), QByteArray("a\r\n2\r\n/b\r\n"));
}

void TestApp::saveIntoUnwritableFolderLeavesFileUnchanged()
{
    // A "folder" that is a file cannot hold anything, whoever runs the test.
    QTemporaryDir dir;
    const QString notAFolder = dir.filePath(QStringLiteral("plain-file"));
    QVERIFY(writeFile(notAFolder, "content"));
    SaveSettings(notAFolder + QStringLiteral("/vorlune.ini"), SettingsFields{});
    QCOMPARE(readFile(notAFolder), QByteArray("content"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("plain-file")});
}

void TestApp::saveIntoReadOnlyFolderLeavesFileUnchanged()
{
    if (::geteuid() == 0)
        QSKIP("Permissions do not stop root; the case of a folder that is a file covers the failure path");
    QTemporaryDir dir;
    const QString path = dir.filePath(QLatin1String(kSettingsFileName));
    const QByteArray old("1.1.1.1\r\n1\r\n/old\r\n");
    QVERIFY(writeFile(path, old));
    QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::ExeOwner);
    SaveSettings(path, SettingsFields{QStringLiteral("new"), QStringLiteral("2"), QStringLiteral("/new")});
    QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QCOMPARE(readFile(path), old);
}

void TestApp::interruptedSaveLeavesOldFileWhole()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QLatin1String(kSettingsFileName));
    const QByteArray old("1.1.1.1\r\n1\r\n/old\r\n");
    QVERIFY(writeFile(path, old));

    bool reachedCommit = false;
    SaveSettings(path, SettingsFields{QStringLiteral("new"), QStringLiteral("2"), QStringLiteral("/new")},
                 [&reachedCommit] {
                     reachedCommit = true;
                     return false; // the write ends here, as a crash would end it
                 });
    QVERIFY(reachedCommit);
    QCOMPARE(readFile(path), old);
    // No half-written temporary file is left beside it.
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList{QLatin1String(kSettingsFileName)});
}

void TestApp::stdoutEscaping_data()
{
    QTest::addColumn<QString>("msg");
    QTest::addColumn<QByteArray>("line");

    QTest::newRow("plain") << QStringLiteral("Songs Available: 5") << QByteArray("Songs Available: 5\n");
    QTest::newRow("empty") << QString() << QByteArray("\n");
    QTest::newRow("tab CR LF kept") << QStringLiteral("a\tb\r\nc") << QByteArray("a\tb\r\nc\n");
    QTest::newRow("escape sequence") << QStringLiteral("\x1b[2J") << QByteArray("\\x1b[2J\n");
    QTest::newRow("NUL and bell") << QString::fromLatin1("a\0b\a", 4) << QByteArray("a\\x00b\\x07\n");
    QTest::newRow("DEL") << QStringLiteral("x\x7fy") << QByteArray("x\\x7fy\n");
    QTest::newRow("C1 CSI") << QString(QChar(0x9b)) + QStringLiteral("31m")
                            << QByteArray("\\xc2\\x9b31m\n");
    QTest::newRow("no-break space kept") << QString(QChar(0xa0)) << QByteArray("\xc2\xa0\n");
    QTest::newRow("UTF-8 text kept") << QString::fromUtf8("m\xc3\xbcsic \xe6\xad\x8c")
                                     << QByteArray("m\xc3\xbcsic \xe6\xad\x8c\n");
}

void TestApp::stdoutEscaping()
{
    QFETCH(QString, msg);
    QFETCH(QByteArray, line);
    QCOMPARE(stdoutLogLine(msg), line);
}

void TestApp::logEntriesReachStdout()
{
    StdoutCapture capture;
    OperatorLog log;
    log.AddLog(QStringLiteral("first"));
    log.AddLog(QStringLiteral("evil \x1b]0;title\x07"));
    log.AddIncoming(QStringLiteral("not logged"));
    QCOMPARE(capture.drain(), QByteArray("first\nevil \\x1b]0;title\\x07\n"));
    // The pane keeps the text as it is.
    QCOMPARE(log.logPane().text(), QStringLiteral("first\r\nevil \x1b]0;title\x07\r\n"));
}

void TestApp::closedOrFullStdoutNeverStopsTheLog()
{
    OperatorLog log;
    {
        StdoutCapture capture;
        // Full: a non-blocking pipe nobody reads. Every call must return.
        ::fcntl(STDOUT_FILENO, F_SETFL, ::fcntl(STDOUT_FILENO, F_GETFL) | O_NONBLOCK);
        const QString big(10000, QLatin1Char('f'));
        for (int i = 0; i < 100; ++i)
            log.AddLog(big);
        QVERIFY(capture.drain().size() < 100 * 10001);
    }
    {
        StdoutCapture capture;
        capture.closeReader(); // closed: writes fail with EPIPE
        log.AddLog(QStringLiteral("to nobody"));
    }
    QVERIFY(log.logPane().text().endsWith(QStringLiteral("to nobody\r\n")));
}

QTEST_GUILESS_MAIN(TestApp)
#include "tst_app.moc"
