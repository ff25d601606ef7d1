// The window in-process (offscreen): its controls and the warnings it logs,
// the table and status bar under a stream, close versus exit, an exit inside
// the start-up scan, the tray icon's events, the panes' mirror of the core
// and the layout at every size.
#include "AppFixture.h"
#include "app/OperatorActions.h"
#include "app/OperatorLog.h"
#include "app/OperatorWarnings.h"
#include "app/ServerLifecycle.h"
#include "app/ServerStatus.h"
#include "app/SettingsFile.h"
#include "app/ui/CTray.h"
#include "app/ui/PaneMirror.h"
#include "app/ui/frmMain.h"
#include "net/ConnectionTable.h"
#include "net/Lines.h"

#include <QtTest>
#include <QtWidgets>

namespace {

// Counts the paints of the widgets it filters.
struct PaintCounter : QObject {
    int paints = 0;
    bool eventFilter(QObject *, QEvent *e) override
    {
        paints += e->type() == QEvent::Paint;
        return false;
    }
};
// A quiet server with its window, started and shown; the settings file, in a
// temporary folder, has it listen on loopback on a port the system chooses.
struct Fixture {
    QTemporaryDir dir;
    Server server;
    OperatorActions actions{server};
    ServerLifecycle lifecycle{server, actions};
    frmMain window{server, actions, lifecycle};
    explicit Fixture(const QByteArray &settings = "127.0.0.1\r\n0\r\n\r\n", bool start = true)
    {
        server.log().setEchoToStdout(false);
        window.setApplicationFolder(dir.path());
        writeFile(dir.filePath(QLatin1String(kSettingsFileName)), settings);
        if (start)
            window.Form_Load(), window.show();
    }
    template <typename T = QWidget> T *find(const char *name)
    {
        return window.findChild<T *>(QLatin1String(name));
    }
};

// What an operator would see as broken at the window's present size: a
// control cut below the size it needs (a caption shown in part), one
// control over another, or one that reaches outside its frame.
QStringList layoutFaults(const frmMain &window)
{
    QStringList faults;
    QList<QWidget *> parents = window.centralWidget()->findChildren<QWidget *>();
    parents << window.centralWidget();
    for (QWidget *parent : parents) {
        if (!parent->layout() || !parent->isVisibleTo(&window))
            continue;
        QList<QWidget *> placed = parent->findChildren<QWidget *>(Qt::FindDirectChildrenOnly);
        placed.removeIf([](const QWidget *w) { return w->isHidden(); });
        for (qsizetype i = 0; i < placed.size(); ++i) {
            const QWidget *w = placed.at(i);
            // What the layout must give it: its minimum size, or its hint
            // unless it may shrink.
            const QSize need = QLayout::closestAcceptableSize(w, QSize(0, 0));
            if (w->width() < need.width() || w->height() < need.height())
                faults << w->objectName() + QStringLiteral(" squeezed");
            if (!parent->rect().contains(w->geometry()))
                faults << w->objectName() + QStringLiteral(" outside ") + parent->objectName();
            for (qsizetype j = i + 1; j < placed.size(); ++j)
                if (w->geometry().intersects(placed.at(j)->geometry()))
                    faults << w->objectName() + QStringLiteral(" over ") + placed.at(j)->objectName();
        }
    }
    return faults;
}

// The sizes that must not change when the window does: the buttons'.
QStringList buttonSizes(frmMain &window)
{
    QStringList sizes;
    for (const QPushButton *b : window.findChildren<QPushButton *>())
        sizes << QStringLiteral("%1 %2x%3").arg(b->objectName()).arg(b->width()).arg(b->height());
    return sizes;
}
} // namespace

class TestUiWindow : public QObject {
    Q_OBJECT
private slots:
    void controlsReachTheCoreAndWarningsPrecedeWhatTheyExplain()
    {
        Fixture f("127.0.0.1\r\n0\r\n/nonexistent/music\r\n");
        // A folder that cannot be read (at start-up and at Reload) and a port
        // field that names no port: the operator is told, not just shown 0 songs.
        f.find<QPushButton>("cmdReload")->click();
        const QString log = f.server.log().logPane().text(),
                      port = QString::number(f.server.status().listeners().first().port);
        const QString unreadable = OperatorWarnings::unreadableMusicFolder(
                QStringLiteral("/nonexistent/music"), QStringLiteral("No such file or directory"));
        QVERIFY2(log.count(unreadable + "\r\nSongs Available: 0\r\n") == 2
                         && log.contains(OperatorWarnings::portChosenBySystem(port.toUShort())
                                         + "\r\nListening on 127.0.0.1 - " + port),
                 qPrintable(log));
        QTRY_COMPARE(f.find<QLabel>("lblStatusSongs")->text(),
                     QStringLiteral("0 songs offered: the music folder cannot be read"));

        QTest::keyClick(f.find("txtPort"), Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(f.find("txtPort"), QStringLiteral("0")); // typed: reaches the core
        QCOMPARE(f.server.fields().port, QStringLiteral("0"));
        auto *view = f.find<QTreeView>("ListView1");
        view->selectAll(); // the listener's row, in the core's selection
        f.find<QPushButton>("cmdClose")->click();
        QVERIFY(!f.server.lines().lineInUse(0));
        f.find<QPushButton>("cmdListen")->click();
        QVERIFY(f.server.lines().lineInUse(0));
        // A whole song piece's count shows uncut in the transfer cells.
        for (int c : {int(ConnectionTable::BytesSent), int(ConnectionTable::BytesLeft)})
            QVERIFY(view->columnWidth(c) > view->fontMetrics().horizontalAdvance(QStringLiteral(" 1048576")));
    }

    void theTableAndTheStatusBarRedrawAtABoundedRateAndRestWhenIdle()
    {
        // A stream changes its cells and the status with every piece;
        // painting the table each time slowed a song from ~450 MB/s to ~12 MB/s.
        Fixture f;
        QVERIFY(QTest::qWaitForWindowExposed(&f.window));
        ServerStatus &status = f.server.status();
        auto *activity = f.find<QLabel>("lblStatusActivity"), *clients = f.find<QLabel>("lblStatusClients");
        QTRY_COMPARE(f.find<QLabel>("lblStatusListen")->text(), status.listenText());
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, status.listeners().first().port);
        QTRY_COMPARE(clients->text(), QStringLiteral("1 client"));

        PaintCounter table, bar;
        f.find<QTreeView>("ListView1")->viewport()->installEventFilter(&table);
        activity->installEventFilter(&bar);
        const int pieces = 1000;
        status.Catalogue_scanStarted();
        for (int i = 1; i <= pieces; ++i) {
            f.server.table().setTransferCells(0, QStringLiteral(" 4096"), QStringLiteral(" 0"));
            f.server.table().setTransferCells(0, QStringLiteral("All"), QStringLiteral("None"));
            status.Catalogue_scanProgress(i, 2 * i);
            QCoreApplication::processEvents();
        }
        QVERIFY2(table.paints < pieces / 4 && bar.paints < pieces / 4,
                 qPrintable(QStringLiteral("%1 %2").arg(table.paints).arg(bar.paints)));
        // The latest texts are still shown.
        QTRY_VERIFY(table.paints > 0 && activity->text() == status.activityText());
        // Idle, the window stops looking: no wake-ups for the status bar.
        status.Catalogue_scanEnded(true, 7, 1);
        client.disconnectFromHost();
        QTRY_COMPARE(activity->text() + u'|' + clients->text(), QStringLiteral("Idle|No clients"));
        QTRY_VERIFY(!f.window.findChild<QTimer *>(QStringLiteral("tmrStatusRefresh"))->isActive());
    }

    void closeHidesWhileExitEndsOnceEvenWhenTheSaveFails()
    {
        Fixture f;
        QPointer<CTray> tray = f.window.Tray;
        QVERIFY(!f.window.close());
        // Hidden, or minimised where there is no notification area: never lost, still running.
        QVERIFY(QSystemTrayIcon::isSystemTrayAvailable() ? !f.window.isVisible() : f.window.isMinimized());
        QVERIFY(!f.window.exitDone() && !f.server.exiting() && tray && tray->iconShown());
        f.window.hide();
        tray->notify(515); // a double click brings a hidden one back in its normal state
        QVERIFY(f.window.isVisible() && !f.window.isMinimized());

        // The tray's menu: "Show" brings a minimised window back in its normal state.
        QMenu *menu = tray->contextMenu();
        QCOMPARE(menu->actions().size(), 2);
        QVERIFY(menu->actions().at(0)->text() == u"Show" && menu->actions().at(1)->text() == u"Exit");
        f.window.showMinimized();
        QTRY_VERIFY(f.window.isMinimized());
        menu->actions().at(0)->trigger();
        QTRY_COMPARE(f.window.windowState(), Qt::WindowNoState);

        // The tray's "Exit", from the hidden window; the save fails.
        const QString notAFolder = f.dir.filePath(QStringLiteral("file")); // stops root as well
        QVERIFY(writeFile(notAFolder, "unchanged"));
        f.window.setApplicationFolder(notAFolder);
        f.window.hide();
        tray->contextMenu()->actions().at(1)->trigger();
        QVERIFY(f.window.exitDone() && f.server.exiting() && !f.window.isVisible() && !tray); // released
        QCOMPARE(readFile(notAFolder), QByteArray("unchanged"));
        // The failure is not silent: the log names the file and the reason.
        const QString logged = f.server.log().logPane().text();
        const QString failure = QStringLiteral("Settings not saved to %1: ").arg(f.window.settingsPath());
        QVERIFY2(logged.count(failure) == 1 && !logged.contains(failure + "\r\n"), qPrintable(logged));
    }

    void exitDuringTheStartUpScanSkipsListen()
    {
        Fixture f("127.0.0.1\r\n0\r\n" VORLUNE_SOURCE_DIR "/samples/music\r\n", false);
        // The first event the scan lets through asks for the exit.
        QTimer::singleShot(0, &f.window, [&] { f.find<QAction>("mnuFileItem_0")->trigger(); });
        f.window.Form_Load();
        // No listener was opened after the settings were saved.
        QVERIFY(f.window.exitDone() && !f.server.lines().lineInUse(0));
    }

    void trayCodesRaiseTheirEventOnlyAndOneAtATime()
    {
        // Events numbered in declaration order: RButtonDown = 1 .. LButtonDblClick = 6.
        const std::pair<int, int> codes[]
                = {{512, 0}, {513, 4}, {514, 5}, {515, 6}, {516, 1}, {517, 2}, {518, 3}, {519, 0}};
        for (const auto &[code, event] : codes) {
            CTray tray;
            QSignalSpy spies[] = {{&tray, &CTray::RButtonDown},     {&tray, &CTray::RButtonUp},
                                  {&tray, &CTray::RButtonDblClick}, {&tray, &CTray::LButtonDown},
                                  {&tray, &CTray::LButtonUp},       {&tray, &CTray::LButtonDblClick}};
            connect(&tray, &CTray::LButtonDown, &tray, [&] { tray.notify(515); }); // while busy: dropped
            tray.notify(code);
            for (int i = 0; i < 6; ++i)
                QCOMPARE(spies[i].count(), i + 1 == event ? 1 : 0);
        }
        // Released from inside its own event, the object survives until it returns.
        QPointer<CTray> released = new CTray;
        connect(released, &CTray::LButtonDblClick, released, [&] { released->release(); });
        released->notify(515);
        QVERIFY(released);
        QTRY_VERIFY(!released);
    }

    void panesMirrorTheCore()
    {
        Fixture f;
        // Line ends of every kind, CR LF split over two arrivals, purges on the way (some between the two).
        OperatorLog &core = f.server.log();
        auto *txtLog = f.find<QPlainTextEdit>("txtLog"), *txtIn = f.find<QPlainTextEdit>("txtIn");
        const auto shown = [](const QString &text) {
            bool pending = false;
            return paneDisplayText(text, pending);
        };
        // An entry is laid out and painted later, not inside the handler
        // that logs it (where it would delay that handler's reply).
        const QString before = txtLog->toPlainText();
        core.AddLog(QStringLiteral("held"));
        QCOMPARE(txtLog->toPlainText(), before);
        QTRY_COMPARE(txtLog->toPlainText(), shown(core.logPane().text()));
        const QList<PaneMirror *> mirrors = f.window.findChildren<PaneMirror *>();
        QCOMPARE(mirrors.size(), 2);
        for (int i = 0; i < 300; ++i) {
            core.AddLog(QString(i * 37 % 900, u'l'));
            core.AddIncoming(QString(i * 53 % 1200, u'd') + (i % 2 ? "\r" : "\n\rx\r"));
            core.AddIncoming(QStringLiteral("\nSLIST\r\n") + QString(i * 29 % 1100, u's'));
            if (i % 3) // held text too meets the splits and purges of later appends
                continue;
            for (PaneMirror *mirror : mirrors)
                mirror->showHeld();
            QCOMPARE(txtLog->toPlainText(), shown(core.logPane().text()));
            QCOMPARE(txtIn->toPlainText(), shown(core.incomingPane().text()));
        }
        QVERIFY(f.find("lblLogWindowPurged")->isVisibleTo(&f.window));
        f.find<QPushButton>("cmdClear_2")->click(); // the log and its label only
        core.AddLog(QStringLiteral("after clear"));
        QVERIFY(!f.find("lblLogWindowPurged")->isVisibleTo(&f.window));
        QTRY_VERIFY(txtLog->toPlainText() == u"after clear\n" && !txtIn->toPlainText().isEmpty());
    }

    void windowGrowsIntoTheTableAndPanesAndKeepsItsControls()
    {
        Fixture f;
        QCOMPARE(f.window.size(), QSize(frmMain::kDesignWidth, frmMain::kDesignHeight));
        const QStringList buttons = buttonSizes(f.window);
        QList<QWidget *> growing{f.find("ListView1"), f.find("txtLog"), f.find("txtIn")};
        const QList<QSize> design{growing[0]->size(), growing[1]->size(), growing[2]->size()};
        f.window.resize(frmMain::kDesignWidth + 420, frmMain::kDesignHeight + 300);
        QTRY_COMPARE(f.window.width(), frmMain::kDesignWidth + 420);
        for (qsizetype i = 0; i < growing.size(); ++i)
            QVERIFY2(growing[i]->width() > design[i].width() && growing[i]->height() > design[i].height(),
                     qPrintable(growing[i]->objectName()));
        QCOMPARE(buttonSizes(f.window), buttons);
        QCOMPARE(layoutFaults(f.window), QStringList());

        // Made as small as it goes, with both "PURGED" labels up: nothing cut
        // or overlapping, and both panes still show a few lines of some
        // thirty characters.
        QScrollBar *bar = f.find<QPlainTextEdit>("txtLog")->verticalScrollBar();
        for (int i = 0; i < 200; ++i)
            f.server.AddLog(QStringLiteral("entry %1").arg(i));
        f.find("lblLogWindowPurged")->show();
        f.find("lblDataArrivalPurged")->show();
        f.window.resize(100, 100);
        QTRY_COMPARE(f.window.size(), f.window.minimumSize());
        QCOMPARE(layoutFaults(f.window), QStringList());
        QCOMPARE(buttonSizes(f.window), buttons);
        for (const auto *pane : f.window.findChildren<QPlainTextEdit *>())
            QVERIFY(pane->viewport()->width() >= 30 * pane->fontMetrics().horizontalAdvance(u'0')
                    && pane->viewport()->height() >= 4 * pane->fontMetrics().lineSpacing());
        // A log shown to its end stays there through the resize, or its
        // newest entries (a warning among them) go unseen; scrolled back by
        // the operator, it stays where it was put.
        QTRY_VERIFY(bar->maximum() > 0 && bar->value() == bar->maximum());
        bar->setValue(bar->maximum() / 2);
        f.server.AddLog(QStringLiteral("one more"));
        f.window.resize(f.window.width(), frmMain::kDesignHeight);
        QTRY_COMPARE(f.window.height(), frmMain::kDesignHeight);
        QVERIFY(bar->value() < bar->maximum());
    }
};

QTEST_MAIN(TestUiWindow)
#include "tst_ui_window.moc"
