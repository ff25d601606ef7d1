// The window in-process (offscreen): its controls, close versus exit, the
// tray icon's events, the panes' mirror of the core, and the termination
// signals.
#include "app/OperatorLog.h"
#include "app/Server.h"
#include "app/SettingsFile.h"
#include "app/ui/CTray.h"
#include "app/ui/PaneMirror.h"
#include "app/ui/PictureBox.h"
#include "app/ui/TerminationSignals.h"
#include "app/ui/frmMain.h"
#include "net/ConnectionTable.h"
#include "net/Lines.h"

#include <QAction>
#include <QCheckBox>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeView>
#include <QtTest>

#include <csignal>

namespace {
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

QString caption(const QObject *o)
{
    if (auto *w = qobject_cast<const QPushButton *>(o))
        return w->text();
    if (auto *w = qobject_cast<const QCheckBox *>(o))
        return w->text();
    if (auto *w = qobject_cast<const QLabel *>(o))
        return w->text();
    if (auto *w = qobject_cast<const QLineEdit *>(o))
        return w->text();
    if (auto *w = qobject_cast<const QPlainTextEdit *>(o))
        return w->toPlainText();
    if (auto *w = qobject_cast<const QGroupBox *>(o))
        return w->title();
    return QStringLiteral("<no caption>");
}

QString frameOf(const QWidget *w)
{
    for (QWidget *p = w->parentWidget(); p; p = p->parentWidget()) {
        if (auto *box = qobject_cast<QGroupBox *>(p))
            return box->title();
    }
    return QString();
}

// A server with its window, its settings kept in a temporary folder.
struct Fixture {
    QTemporaryDir dir;
    Server server;
    frmMain window{server};
    Fixture() { window.setApplicationFolder(dir.path()); }
    QString settingsFile() const { return dir.filePath(QLatin1String(kSettingsFileName)); }
    template <typename T>
    T *find(const char *name) { return window.findChild<T *>(QLatin1String(name)); }
};
} // namespace

class TestUiWindow : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY(TerminationSignals::install()); }

    void controls_data();
    void controls();
    void tableAndMenu();
    void operatorActionsReachTheCore();

    void closeRequestHidesAndKeepsRunning();
    void fileExitWritesSettingsAndEnds();
    void exitWithUnwritableFolderCompletes();
    void exitDuringStartupScanSkipsListen();

    void trayCodeMapping_data();
    void trayCodeMapping();
    void trayBusyFlagDropsNestedNotification();
    void trayShowIconNeedsPicBox();
    void trayTipField();
    void trayDoubleClickShowsHiddenWindowNormal();

    void paneDisplayText_data();
    void paneDisplayText();
    void panesMirrorTheCoreAfterPurges();

    void terminationSignalArrivesAsEvent();
    void sigtermWritesSettingsAndExitsZero();
};

void TestUiWindow::controls_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("frame");
    QTest::addColumn<QString>("toolTip");
    QTest::addColumn<bool>("hidden");
    QTest::addColumn<bool>("bold");

    const QString in = QStringLiteral("Incomming Messages");
    const QString log = QStringLiteral("Log Messages");
    const QString conn = QStringLiteral("Active Connections");
    const QString set = QStringLiteral("Server Settings");
    auto row = [](const char *name, const QString &text, const QString &frame, const QString &tip = {},
                  bool hidden = false, bool bold = false) {
        QTest::newRow(name) << QString::fromLatin1(name) << text << frame << tip << hidden << bold;
    };
    row("txtIn", QString(), in);
    row("cmdClear_0", QStringLiteral("x"), in, QStringLiteral("Clear"));
    row("chkHide", QStringLiteral("Hide System Messages"), in);
    row("Label5", QStringLiteral("Data Arrival:"), in);
    row("lblDataArrivalPurged", QStringLiteral("PURGED"), in, {}, true, true);
    row("txtLog", QString(), log);
    row("cmdClear_2", QStringLiteral("x"), log, QStringLiteral("Clear"));
    row("lblLogWindowPurged", QStringLiteral("PURGED"), log, {}, true, true);
    row("cmdSend", QStringLiteral("Send"), conn);
    row("cmdClose", QStringLiteral("Close"), conn);
    row("cmdReload", QStringLiteral("Reload"), set);
    row("txtMusicFolder", QString(), set);
    row("cmdListen", QStringLiteral("Listen"), set);
    row("txtPort", QStringLiteral("15150"), set);
    row("txtIP", QString(), set);
    row("Label1", QStringLiteral("Music Folder"), set);
    row("Label4", QStringLiteral("IP Address"), set);
    row("Label3", QStringLiteral("Local Port"), set);
    row("fraIncoming", in, QString());
    row("fraLog", log, QString());
    row("fraConnections", conn, QString());
    row("fraSettings", set, QString());
}

void TestUiWindow::controls()
{
    QFETCH(QString, name);
    QFETCH(QString, text);
    QFETCH(QString, frame);
    QFETCH(QString, toolTip);
    QFETCH(bool, hidden);
    QFETCH(bool, bold);

    Fixture f;
    f.window.show();
    QCOMPARE(f.window.objectName(), QStringLiteral("frmMain"));
    auto *w = f.window.findChild<QWidget *>(name);
    QVERIFY2(w, qPrintable(name));
    QCOMPARE(caption(w), text);
    QCOMPARE(frameOf(w), frame);
    QCOMPARE(w->toolTip(), toolTip);
    QCOMPARE(w->isHidden(), hidden);
    QCOMPARE(w->font().bold(), bold);
}

void TestUiWindow::tableAndMenu()
{
    Fixture f;
    QVERIFY(f.find<QCheckBox>("chkHide") && !f.find<QCheckBox>("chkHide")->isChecked());
    auto *pic = f.find<PictureBox>("pic");
    QVERIFY(pic && pic->isHidden());
    QVERIFY(!f.window.windowIcon().isNull());
    QVERIFY(writeFile(f.settingsFile(), "127.0.0.1\r\n0\r\n\r\n"));
    f.window.Form_Load();
    QVERIFY(!pic->picture().isNull()); // the tray icon's picture is the window's icon

    auto *view = f.find<QTreeView>("ListView1");
    QVERIFY(view);
    QCOMPARE(frameOf(view), QStringLiteral("Active Connections"));
    QVERIFY(!view->rootIsDecorated());
    QCOMPARE(view->selectionMode(), QAbstractItemView::ExtendedSelection);
    if (f.server.table().model()) {
        // The operator's selection is the core's selection.
        QCOMPARE(view->model(), f.server.table().model());
        QCOMPARE(view->selectionModel(), f.server.table().selectionModel());
    }

    auto *menu = f.find<QMenu>("mnuFile");
    QVERIFY(menu);
    QCOMPARE(menu->title(), QStringLiteral("&File"));
    auto *exitItem = f.find<QAction>("mnuFileItem_0");
    QVERIFY(exitItem);
    QCOMPARE(exitItem->text(), QStringLiteral("E&xit"));
    QVERIFY(menu->actions().contains(exitItem));
}

void TestUiWindow::operatorActionsReachTheCore()
{
    Fixture f;
    f.window.show();

    // Fields both ways.
    f.server.setTxtIP(QStringLiteral("10.1.2.3"));
    QCOMPARE(f.find<QLineEdit>("txtIP")->text(), QStringLiteral("10.1.2.3"));
    QTest::keyClicks(f.find<QLineEdit>("txtPort"), QStringLiteral("7"));
    QCOMPARE(f.server.fields().port, QStringLiteral("151507"));
    QTest::keyClicks(f.find<QLineEdit>("txtMusicFolder"), QStringLiteral("/m"));
    QCOMPARE(f.server.fields().musicFolder, QStringLiteral("/m"));

    QTest::mouseClick(f.find<QCheckBox>("chkHide"), Qt::LeftButton);
    QVERIFY(f.server.hideSystemMessages());

    // Title follows the core.
    f.server.SetTitle(QStringLiteral("127.0.0.1"));
    QCOMPARE(f.window.windowTitle(), QStringLiteral("Vorlune Server v") + Server::versionText()
                                         + QStringLiteral("  [127.0.0.1]"));

    // Send does nothing; each Clear empties its own pane.
    f.server.AddLog(QStringLiteral("entry"));
    f.server.log().AddIncoming(QStringLiteral("data"));
    const SettingsFields before = f.server.fields();
    f.find<QPushButton>("cmdSend")->click();
    QCOMPARE(f.server.log().logPane().text(), QStringLiteral("entry\r\n"));
    QCOMPARE(f.server.log().incomingPane().text(), QStringLiteral("data"));
    QCOMPARE(f.server.fields().port, before.port);
    f.find<QPushButton>("cmdClear_0")->click();
    QCOMPARE(f.server.log().incomingPane().text(), QString());
    QCOMPARE(f.server.log().logPane().text(), QStringLiteral("entry\r\n"));
    f.find<QPushButton>("cmdClear_2")->click();
    QCOMPARE(f.server.log().logPane().text(), QString());
    QCOMPARE(f.find<QPlainTextEdit>("txtLog")->toPlainText(), QString());

    // Listen reaches the line pool with the fields as typed.
    f.server.setFields(SettingsFields{QStringLiteral("127.0.0.1"), QStringLiteral("0"), QString()});
    QVERIFY(!f.server.lines().lineInUse(0));
    f.find<QPushButton>("cmdListen")->click();
    QVERIFY(f.server.lines().lineInUse(0));
}

void TestUiWindow::exitWithUnwritableFolderCompletes()
{
    QTemporaryDir dir;
    const QString notAFolder = dir.filePath(QStringLiteral("file"));
    QVERIFY(writeFile(notAFolder, "unchanged"));
    Server server;
    frmMain window(server);
    window.setApplicationFolder(notAFolder);
    window.show();
    window.mnuFileItem_Click(0);
    QVERIFY(window.exitDone());
    QVERIFY(server.exiting());
    QVERIFY(!window.isVisible());
    QCOMPARE(readFile(notAFolder), QByteArray("unchanged"));
}

void TestUiWindow::closeRequestHidesAndKeepsRunning()
{
    Fixture f;
    QVERIFY(writeFile(f.settingsFile(), "127.0.0.1\r\n0\r\n\r\n"));
    f.window.show();
    f.window.Form_Load();
    QVERIFY(f.window.Tray && f.window.Tray->iconShown());
    const int rows = f.server.table().rowCount();
    f.server.setTxtMusicFolder(QStringLiteral("/changed"));

    QVERIFY(!f.window.close());

    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        QVERIFY(!f.window.isVisible());
    } else {
        // No notification area: minimised, never lost.
        QVERIFY(f.window.isVisible());
        QVERIFY(f.window.isMinimized());
    }
    QVERIFY(!f.window.exitDone());
    QVERIFY(!f.server.exiting());
    QVERIFY(f.window.Tray && f.window.Tray->iconShown());
    QCOMPARE(f.server.table().rowCount(), rows);
    QCOMPARE(readFile(f.settingsFile()), QByteArray("127.0.0.1\r\n0\r\n\r\n"));
}

void TestUiWindow::fileExitWritesSettingsAndEnds()
{
    Fixture f;
    QVERIFY(writeFile(f.settingsFile(), "127.0.0.1\r\n0\r\n\r\n"));
    f.window.show();
    f.window.Form_Load();
    f.server.setFields(SettingsFields{QStringLiteral("127.0.0.1"), QStringLiteral(" 0"), QStringLiteral("/m ")});
    QPointer<CTray> tray = f.window.Tray;
    QVERIFY(tray);

    f.find<QAction>("mnuFileItem_0")->trigger();

    QCOMPARE(f.window.Tag, QStringLiteral("EXIT"));
    QVERIFY(f.window.exitDone());
    QVERIFY(f.server.exiting());
    QVERIFY(!f.window.isVisible());
    QVERIFY(!f.window.Tray);
    QVERIFY(!tray); // released
    QCOMPARE(readFile(f.settingsFile()), QByteArray("127.0.0.1\r\n 0\r\n/m \r\n"));

    // The exit work runs once: later requests change nothing.
    QVERIFY(QFile::remove(f.settingsFile()));
    f.window.requestExit();
    f.window.mnuFileItem_Click(0);
    QVERIFY(!QFile::exists(f.settingsFile()));
}

void TestUiWindow::exitDuringStartupScanSkipsListen()
{
    Fixture f;
    QTemporaryDir music;
    for (int i = 0; i < 20; ++i)
        QVERIFY(writeFile(music.filePath(QStringLiteral("song%1.mp3").arg(i)), "ID3"));
    QVERIFY(writeFile(f.settingsFile(), "127.0.0.1\r\n0\r\n" + music.path().toUtf8() + "\r\n"));

    // The first event let through during start-up is inside the scan.
    bool exitedInside = false;
    QTimer::singleShot(0, &f.window, [&] {
        exitedInside = true;
        f.window.requestExit();
    });
    f.window.Form_Load();

    QVERIFY2(exitedInside, "the scan let no event through");
    QVERIFY(f.window.exitDone());
    QVERIFY(!f.server.lines().lineInUse(0)); // no listener opened after the save
    QCOMPARE(f.server.table().rowCount(), 0);
    QVERIFY(readFile(f.settingsFile()).startsWith("127.0.0.1\r\n0\r\n"));
}

void TestUiWindow::trayCodeMapping_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("event"); // 0: none, else 1..6 in declaration order

    QTest::newRow("512 mouse move") << 512 << 0;
    QTest::newRow("513 left down") << 513 << int(CTray::Event::LButtonDown);
    QTest::newRow("514 left up") << 514 << int(CTray::Event::LButtonUp);
    QTest::newRow("515 left double") << 515 << int(CTray::Event::LButtonDblClick);
    QTest::newRow("516 right down") << 516 << int(CTray::Event::RButtonDown);
    QTest::newRow("517 right up") << 517 << int(CTray::Event::RButtonUp);
    QTest::newRow("518 right double") << 518 << int(CTray::Event::RButtonDblClick);
    QTest::newRow("519") << 519 << 0;
    QTest::newRow("0") << 0 << 0;
}

void TestUiWindow::trayCodeMapping()
{
    QFETCH(int, code);
    QFETCH(int, event);

    const auto mapped = CTray::eventForCode(code);
    QCOMPARE(mapped ? int(*mapped) : 0, event);

    // Exactly the mapped event is raised, in the documented numbering.
    CTray tray;
    QSignalSpy spies[] = {
        QSignalSpy(&tray, &CTray::RButtonDown), QSignalSpy(&tray, &CTray::RButtonUp),
        QSignalSpy(&tray, &CTray::RButtonDblClick), QSignalSpy(&tray, &CTray::LButtonDown),
        QSignalSpy(&tray, &CTray::LButtonUp), QSignalSpy(&tray, &CTray::LButtonDblClick)};
    tray.notify(code);
    for (int i = 0; i < 6; ++i)
        QCOMPARE(spies[i].count(), i + 1 == event ? 1 : 0);
    QVERIFY(!tray.inEvent());
}

void TestUiWindow::trayBusyFlagDropsNestedNotification()
{
    CTray tray;
    QSignalSpy doubles(&tray, &CTray::LButtonDblClick);
    int nestedSeen = 0;
    connect(&tray, &CTray::LButtonDown, &tray, [&] {
        QVERIFY(tray.inEvent());
        tray.notify(515); // arrives while LButtonDown runs: dropped
        ++nestedSeen;
    });
    tray.notify(513);
    QCOMPARE(nestedSeen, 1);
    QCOMPARE(doubles.count(), 0);

    tray.notify(515); // after the event returned: delivered
    QCOMPARE(doubles.count(), 1);

    // Released from inside its own event, the object survives until it returns.
    auto *released = new CTray;
    QPointer<CTray> guard = released;
    connect(released, &CTray::LButtonDblClick, released, [released] { released->release(); });
    released->notify(515);
    QVERIFY(guard);
    QTRY_VERIFY(!guard);
}

void TestUiWindow::trayShowIconNeedsPicBox()
{
    CTray tray;
    QCOMPARE(CTray::uID, 1u);
    QVERIFY(!tray.ShowIcon());
    QVERIFY(!tray.iconShown());

    PictureBox pic;
    pic.setPicture(QIcon(QStringLiteral(":/icons/vorlune.png")));
    tray.setPicBox(&pic);
    QVERIFY(!tray.iconShown()); // PicBox never adds the icon
    QVERIFY(tray.ShowIcon());
    QVERIFY(tray.iconShown());
    tray.DeleteIcon();
    tray.DeleteIcon();
    QVERIFY(!tray.iconShown());
}

void TestUiWindow::trayTipField()
{
    CTray tray;
    QCOMPARE(tray.TipText(), QString(64, QChar(0)));

    tray.setTipText(QStringLiteral("Vorlune Server v0.0.2"));
    QCOMPARE(tray.TipText(), QStringLiteral("Vorlune Server v0.0.2") + QChar(0) + QString(42, QLatin1Char(' ')));

    const QString longText(100, QLatin1Char('t'));
    tray.setTipText(longText);
    QCOMPARE(tray.TipText(), QString(63, QLatin1Char('t')) + QChar(0));

    tray.setTipText(QString());
    QCOMPARE(tray.TipText(), QString(QChar(0)) + QString(63, QLatin1Char(' ')));

    // A character outside the basic plane is never cut in half.
    const QString clef = QString::fromUtf8("\xf0\x9d\x84\x9e");
    tray.setTipText(QString(62, QLatin1Char('a')) + clef);
    QCOMPARE(tray.TipText(), QString(62, QLatin1Char('a')) + QChar(0) + QLatin1Char(' '));
}

void TestUiWindow::trayDoubleClickShowsHiddenWindowNormal()
{
    Fixture f;
    QVERIFY(writeFile(f.settingsFile(), "127.0.0.1\r\n0\r\n\r\n"));
    f.window.show();
    f.window.Form_Load();
    QVERIFY(f.window.Tray);

    f.window.showMinimized();
    f.window.hide();
    QVERIFY(!f.window.isVisible());
    f.window.Tray->notify(515);
    QVERIFY(f.window.isVisible());
    QVERIFY(!f.window.isMinimized());
    QVERIFY(!f.window.isMaximized());

    // Visible but minimised: a double click changes nothing.
    f.window.showMinimized();
    f.window.Tray->notify(515);
    QVERIFY(f.window.isMinimized());

    // Other events are not handled.
    f.window.hide();
    for (int code : {513, 514, 516, 517, 518, 512})
        f.window.Tray->notify(code);
    QVERIFY(!f.window.isVisible());
}

void TestUiWindow::paneDisplayText_data()
{
    QTest::addColumn<QStringList>("pieces");
    QTest::addColumn<QString>("shown");

    QTest::newRow("CR LF") << QStringList{QStringLiteral("a\r\nb\r\n")} << QStringLiteral("a\nb\n");
    QTest::newRow("lone CR") << QStringList{QStringLiteral("a\rb")} << QStringLiteral("a\nb");
    QTest::newRow("lone LF") << QStringList{QStringLiteral("a\nb")} << QStringLiteral("a\nb");
    QTest::newRow("CR CR LF") << QStringList{QStringLiteral("\r\r\n")} << QStringLiteral("\n\n");
    QTest::newRow("LF CR") << QStringList{QStringLiteral("\n\r")} << QStringLiteral("\n\n");
    QTest::newRow("CR LF split over appends")
        << QStringList{QStringLiteral("SLLEN\r"), QStringLiteral("\nSLIST\r\n")} << QStringLiteral("SLLEN\nSLIST\n");
    QTest::newRow("CR then text") << QStringList{QStringLiteral("a\r"), QStringLiteral("b\n")}
                                  << QStringLiteral("a\nb\n");
}

void TestUiWindow::paneDisplayText()
{
    QFETCH(QStringList, pieces);
    QFETCH(QString, shown);
    bool pending = false;
    QString out;
    for (const QString &piece : pieces)
        out += ::paneDisplayText(piece, pending);
    QCOMPARE(out, shown);
}

void TestUiWindow::panesMirrorTheCoreAfterPurges()
{
    Fixture f;
    f.server.log().setEchoToStdout(false);
    f.window.show();
    auto *txtLog = f.find<QPlainTextEdit>("txtLog");
    auto *txtIn = f.find<QPlainTextEdit>("txtIn");
    auto *logLabel = f.find<QLabel>("lblLogWindowPurged");
    auto *inLabel = f.find<QLabel>("lblDataArrivalPurged");
    auto shownForm = [](const QString &text) {
        bool pending = false;
        return ::paneDisplayText(text, pending);
    };

    for (int i = 0; i < 300; ++i) {
        f.server.AddLog(QStringLiteral("entry %1 ").arg(i) + QString(i * 37 % 900, QLatin1Char('l')));
        // Client data: line ends of every kind, a CR LF split over arrivals.
        f.server.log().AddIncoming(QStringLiteral("Data Arrival on line 1\r\n"));
        f.server.log().AddIncoming(QString(i * 53 % 1200, QLatin1Char('d')) + (i % 2 ? QStringLiteral("\r") : QStringLiteral("\n\rx")));
        if (i % 50 == 49) {
            QCOMPARE(txtLog->toPlainText(), shownForm(f.server.log().logPane().text()));
            QCOMPARE(txtIn->toPlainText(), shownForm(f.server.log().incomingPane().text()));
        }
    }
    QCOMPARE(txtLog->toPlainText(), shownForm(f.server.log().logPane().text()));
    QCOMPARE(txtIn->toPlainText(), shownForm(f.server.log().incomingPane().text()));
    QVERIFY(logLabel->isVisibleTo(&f.window)); // the log was purged on the way
    QVERIFY(!inLabel->isVisibleTo(&f.window));

    f.window.cmdClear_Click(2);
    QVERIFY(!logLabel->isVisibleTo(&f.window));
    QCOMPARE(txtLog->toPlainText(), QString());
    f.server.AddLog(QStringLiteral("after clear"));
    QCOMPARE(txtLog->toPlainText(), QStringLiteral("after clear\n"));
}

void TestUiWindow::terminationSignalArrivesAsEvent()
{
    TerminationSignals termination;
    QSignalSpy received(&termination, &TerminationSignals::received);
    std::raise(SIGTERM);
    QVERIFY(received.isEmpty()); // only through the event loop
    QTRY_COMPARE(received.count(), 1);
    QCOMPARE(received.at(0).at(0).toInt(), SIGTERM);
}

void TestUiWindow::sigtermWritesSettingsAndExitsZero()
{
    QTemporaryDir dir;
    const QString exe = dir.filePath(QStringLiteral("vorlune-server"));
    QVERIFY(QFile::copy(QStringLiteral(VORLUNE_SERVER_EXECUTABLE), exe));
    const QString ini = dir.filePath(QLatin1String(kSettingsFileName));
    QVERIFY(writeFile(ini, "127.0.0.1\n0\n"));

    QProcess server;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    server.setProcessEnvironment(env);
    server.start(exe, {});
    QVERIFY(server.waitForStarted());
    // Output means main() is past the installation of the signal handlers.
    QTRY_VERIFY_WITH_TIMEOUT(server.bytesAvailable() > 0, 20000);
    server.terminate();
    QVERIFY(server.waitForFinished(20000));
    QCOMPARE(server.exitStatus(), QProcess::NormalExit);
    QCOMPARE(server.exitCode(), 0);
    // Line ends normalised to CR LF, the empty third field written.
    QCOMPARE(readFile(ini), QByteArray("127.0.0.1\r\n0\r\n\r\n"));
}

QTEST_MAIN(TestUiWindow)
#include "tst_ui_window.moc"
