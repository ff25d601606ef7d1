// The window in-process (offscreen): its controls, close versus exit, an
// exit inside the start-up scan, the tray icon's events and the panes'
// mirror of the core.
#include "AppFixture.h"
#include "app/OperatorLog.h"
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
// A quiet server with its window; the settings file, in a temporary folder,
// has the window listen on loopback on a port the system chooses.
struct Fixture {
    QTemporaryDir dir;
    Server server;
    frmMain window{server};
    explicit Fixture(const QByteArray &settings = "127.0.0.1\r\n0\r\n\r\n")
    {
        server.log().setEchoToStdout(false);
        window.setApplicationFolder(dir.path());
        writeFile(dir.filePath(QLatin1String(kSettingsFileName)), settings);
    }
    template <typename T = QWidget> T *find(const char *name)
    {
        return window.findChild<T *>(QLatin1String(name));
    }
};

void collectPlaced(QLayout *layout, QList<QWidget *> &placed)
{
    for (int i = 0; i < layout->count(); ++i) {
        QLayoutItem *item = layout->itemAt(i);
        if (item->widget() && !item->widget()->isHidden())
            placed << item->widget();
        else if (item->layout())
            collectPlaced(item->layout(), placed);
    }
}

// What an operator would see as broken at the window's present size: a
// control cut below the size it needs (a caption shown in part), one
// control over another, or one that reaches outside its frame.
QStringList layoutFaults(const frmMain &window)
{
    QStringList faults;
    QWidget *central = window.centralWidget();
    if (central->geometry().intersects(window.menuBar()->geometry())
        || !window.rect().contains(central->geometry()))
        faults << QStringLiteral("central widget");
    QList<QWidget *> parents = central->findChildren<QWidget *>();
    parents << central;
    for (QWidget *parent : parents) {
        if (!parent->layout() || !parent->isVisibleTo(&window))
            continue;
        QList<QWidget *> placed;
        collectPlaced(parent->layout(), placed);
        for (qsizetype i = 0; i < placed.size(); ++i) {
            const QWidget *w = placed.at(i);
            const QSizePolicy policy = w->sizePolicy();
            const QSize hint = w->minimumSizeHint();
            const int needWidth = w->minimumWidth()                       ? w->minimumWidth()
                    : policy.horizontalPolicy() & QSizePolicy::ShrinkFlag ? hint.width()
                                                                          : w->sizeHint().width();
            const int needHeight = w->minimumHeight()                   ? w->minimumHeight()
                    : policy.verticalPolicy() & QSizePolicy::ShrinkFlag ? hint.height()
                                                                        : w->sizeHint().height();
            if (w->width() < needWidth || w->height() < needHeight)
                faults << w->objectName() + QStringLiteral(" squeezed");
            if (!parent->rect().contains(w->geometry()))
                faults << w->objectName() + QStringLiteral(" outside ") + parent->objectName();
            for (qsizetype j = i + 1; j < placed.size(); ++j) {
                if (w->geometry().intersects(placed.at(j)->geometry()))
                    faults << w->objectName() + QStringLiteral(" over ") + placed.at(j)->objectName();
            }
        }
    }
    return faults;
}

// The sizes that must not change when the window does (every button, the
// settings frame's height), and the order in which the buttons are read.
QStringList fixedParts(frmMain &window)
{
    QList<QWidget *> buttons;
    for (QPushButton *button : window.findChildren<QPushButton *>())
        buttons << button;
    std::sort(buttons.begin(), buttons.end(), [&](QWidget *a, QWidget *b) {
        const QPoint pa = a->mapTo(&window, QPoint()), pb = b->mapTo(&window, QPoint());
        return std::pair(pa.y(), pa.x()) < std::pair(pb.y(), pb.x());
    });
    QStringList parts;
    for (QWidget *w : buttons)
        parts << QStringLiteral("%1 %2x%3").arg(w->objectName()).arg(w->width()).arg(w->height());
    parts << QStringLiteral("fraSettings height %1")
                     .arg(window.findChild<QWidget *>(QStringLiteral("fraSettings"))->height());
    return parts;
}

// The parts that take the space the window gains.
QList<QSize> growingParts(frmMain &window)
{
    QList<QSize> sizes;
    for (const char *name : {"ListView1", "txtLog", "txtIn"})
        sizes << window.findChild<QWidget *>(QLatin1String(name))->size();
    return sizes;
}
} // namespace

class TestUiWindow : public QObject {
    Q_OBJECT
private slots:
    void controlsAndOperatorActions()
    {
        Fixture f;
        f.window.show();
        QVERIFY(!f.window.windowIcon().isNull()); // resources reached from a static library
        // Every caption as the operator reads it.
        QStringList captions;
        for (const char *name : {"fraIncoming",
                                 "cmdClear_0",
                                 "chkHide",
                                 "Label5",
                                 "lblDataArrivalPurged",
                                 "fraLog",
                                 "cmdClear_2",
                                 "lblLogWindowPurged",
                                 "fraConnections",
                                 "cmdSend",
                                 "cmdClose",
                                 "fraSettings",
                                 "cmdReload",
                                 "cmdListen",
                                 "txtPort",
                                 "Label1",
                                 "Label4",
                                 "Label3",
                                 "mnuFile",
                                 "mnuFileItem_0"}) {
            const QObject *o = f.window.findChild<QObject *>(QLatin1String(name));
            captions << (o ? o->property(o->inherits("QGroupBox") || o->inherits("QMenu") ? "title" : "text")
                                         .toString()
                           : name);
        }
        QCOMPARE(captions.join(u'|'),
                 QStringLiteral("Incomming Messages|x|Hide System Messages|Data Arrival:|PURGED|"
                                "Log Messages|x|PURGED|Active Connections|Send|Close|Server "
                                "Settings|Reload|Listen|15150|Music Folder|"
                                "IP Address|Local Port|&File|E&xit"));
        for (const char *name : {"lblDataArrivalPurged", "lblLogWindowPurged"})
            QVERIFY(f.find(name)->isHidden() && f.find(name)->font().bold());
        QCOMPARE(f.find("cmdClear_0")->toolTip() + f.find("cmdClear_2")->toolTip(),
                 QStringLiteral("ClearClear"));
        // A client's line of tens of kilobytes must not cost a word-boundary layout.
        for (const char *name : {"txtLog", "txtIn"})
            QCOMPARE(f.find<QPlainTextEdit>(name)->wordWrapMode(), QTextOption::WrapAnywhere);

        f.server.setTxtIP(QStringLiteral("127.0.0.1"));
        QTest::keyClick(f.find("txtPort"), Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(f.find("txtPort"), QStringLiteral("0")); // typed: reaches the core
        QCOMPARE(f.server.fields().port, QStringLiteral("0"));
        f.find<QPushButton>("cmdListen")->click();
        QVERIFY(f.server.lines().lineInUse(0));
        f.server.SetTitle(QStringLiteral("127.0.0.1"));
        QCOMPARE(f.window.windowTitle(),
                 QStringLiteral("Vorlune Server v%1  [127.0.0.1]").arg(Server::versionText()));
    }

    void activeConnectionsColumns()
    {
        // Start-up adds the seven columns; a column is never narrower than
        // its classic width in twips at the screen's resolution.
        Fixture f;
        f.window.Form_Load();
        auto *view = f.find<QTreeView>("ListView1");
        QStringList headers;
        for (int c = 0; c < view->model()->columnCount(); ++c) {
            headers << view->model()->headerData(c, Qt::Horizontal).toString();
            const int twips = ConnectionTable::columnWidthsTwips().at(c);
            QVERIFY(view->columnWidth(c) >= ConnectionTable::twipsToPixels(twips, view->logicalDpiX()));
        }
        // A whole song piece's count shows uncut in the transfer cells.
        for (int c : {int(ConnectionTable::BytesSent), int(ConnectionTable::BytesLeft)})
            QVERIFY(view->columnWidth(c) > view->fontMetrics().horizontalAdvance(QStringLiteral(" 1048576")));
        QCOMPARE(headers.join(u'|'),
                 QStringLiteral("IP Address|Line #|Local|Remote|Type|Bytes Sent|Bytes Left"));
        QCOMPARE(ConnectionTable::twipsToPixels(1500, 96), 100);
        QCOMPARE(view->selectionMode(), QAbstractItemView::ExtendedSelection);
    }

    void transferCellsDoNotRepaintTheTablePerPiece()
    {
        // A stream changes its cells with every piece; painting the table
        // each time slowed a song from ~450 MB/s to ~12 MB/s.
        PaintCounter counter;
        Fixture f;
        f.window.show();
        f.window.Form_Load(); // the listener's row
        auto *view = f.find<QTreeView>("ListView1");
        view->viewport()->installEventFilter(&counter);
        const int pieces = 1000;
        for (int i = 0; i < pieces; ++i) {
            f.server.table().setTransferCells(0, QStringLiteral(" 4096"), QStringLiteral(" 0"));
            f.server.table().setTransferCells(0, QStringLiteral("All"), QStringLiteral("None"));
            QCoreApplication::processEvents();
        }
        QVERIFY2(counter.paints < pieces / 4, qPrintable(QString::number(counter.paints)));
        QTRY_VERIFY(counter.paints > 0); // the latest text is still shown
    }

    void statusBarShowsTheServerWithoutARepaintStormAndRestsWhenIdle()
    {
        Fixture f;
        f.window.show();
        f.window.Form_Load();
        QVERIFY(QTest::qWaitForWindowExposed(&f.window));
        ServerStatus &status = f.server.status();
        auto *listen = f.find<QLabel>("lblStatusListen");
        auto *clients = f.find<QLabel>("lblStatusClients");
        auto *activity = f.find<QLabel>("lblStatusActivity");
        QVERIFY(listen && clients && activity && f.find<QLabel>("lblStatusSongs"));
        // Under the frames, as the operator reads it.
        QVERIFY(f.window.statusBar()->geometry().top() >= f.window.centralWidget()->geometry().bottom());
        QTRY_COMPARE(listen->text(), status.listenText());
        QVERIFY(listen->text().startsWith(QStringLiteral("Listening on 127.0.0.1, port ")));
        QCOMPARE(clients->text(), QStringLiteral("No clients"));
        QCOMPARE(activity->text(), QStringLiteral("Idle"));
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, status.listeners().first().port);
        QTRY_COMPARE(clients->text(), QStringLiteral("1 client"));

        // A change with every piece of a stream: shown a few times a
        // second, with the latest figures.
        PaintCounter counter;
        activity->installEventFilter(&counter);
        const int changes = 1000;
        status.Catalogue_scanStarted();
        for (int i = 1; i <= changes; ++i) {
            status.Catalogue_scanProgress(i, 2 * i);
            QCoreApplication::processEvents();
        }
        QVERIFY2(counter.paints < changes / 4, qPrintable(QString::number(counter.paints)));
        QTRY_COMPARE(activity->text(), status.activityText());
        QVERIFY(activity->text().startsWith(QStringLiteral("Scanning the music folder: ")));
        // Idle, the window stops looking: no wake-ups for the status bar.
        status.Catalogue_scanEnded(true, 7, 1);
        QTRY_COMPARE(activity->text(), QStringLiteral("Idle"));
        QCOMPARE(f.find<QLabel>("lblStatusSongs")->text(), QStringLiteral("7 songs offered"));
        auto *refresh = f.window.findChild<QTimer *>(QStringLiteral("tmrStatusRefresh"));
        QVERIFY(refresh);
        QTRY_VERIFY(!refresh->isActive());
    }

    void aLogShownToItsEndStaysThereThroughAResize()
    {
        // Otherwise the newest entries, a warning among them, go unseen
        // after the window was made smaller.
        Fixture f;
        f.window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&f.window));
        QScrollBar *bar = f.find<QPlainTextEdit>("txtLog")->verticalScrollBar();
        for (int i = 0; i < 200; ++i)
            f.server.AddLog(QStringLiteral("entry %1").arg(i));
        QTRY_VERIFY(bar->maximum() > 0 && bar->value() == bar->maximum());
        f.window.resize(f.window.width(), f.window.minimumHeight());
        QTRY_COMPARE(f.window.height(), f.window.minimumHeight());
        f.server.AddLog(QStringLiteral("newest"));
        QTRY_COMPARE(bar->value(), bar->maximum());
        // Scrolled back by the operator, it stays where it was put.
        bar->setValue(bar->maximum() / 2);
        f.server.AddLog(QStringLiteral("one more"));
        f.window.resize(f.window.width(), frmMain::kDesignHeight);
        QTRY_COMPARE(f.window.height(), frmMain::kDesignHeight);
        QVERIFY(bar->value() < bar->maximum());
    }

    void closeHidesWhileFileExitEndsOnceEvenWhenTheSaveFails()
    {
        Fixture f;
        f.window.show();
        f.window.Form_Load();
        QPointer<CTray> tray = f.window.Tray;
        QVERIFY(!f.window.close());
        // Hidden, or minimised where there is no notification area: never lost, still running.
        QVERIFY(QSystemTrayIcon::isSystemTrayAvailable() ? !f.window.isVisible() : f.window.isMinimized());
        QVERIFY(!f.window.exitDone() && !f.server.exiting() && tray && tray->iconShown());

        const QString notAFolder = f.dir.filePath(QStringLiteral("file")); // stops root as well
        QVERIFY(writeFile(notAFolder, "unchanged"));
        f.window.setApplicationFolder(notAFolder);
        f.find<QAction>("mnuFileItem_0")->trigger();
        QVERIFY(f.window.exitDone() && f.server.exiting() && !f.window.isVisible());
        QVERIFY(!f.window.Tray && !tray); // released
        QCOMPARE(readFile(notAFolder), QByteArray("unchanged"));
        // The failure is not silent: the log names the file and the reason.
        const QString logged = f.server.log().logPane().text();
        const QString failure = QStringLiteral("Settings not saved to %1: ").arg(f.window.settingsPath());
        QVERIFY2(logged.contains(failure) && !logged.contains(failure + QStringLiteral("\r\n")),
                 qPrintable(logged));
        // The exit work runs once: later requests write nothing.
        f.window.setApplicationFolder(f.dir.path());
        f.server.setTxtMusicFolder(QStringLiteral("/changed"));
        f.window.requestExit();
        f.window.mnuFileItem_Click(0);
        QCOMPARE(readFile(f.dir.filePath(QLatin1String(kSettingsFileName))),
                 QByteArray("127.0.0.1\r\n0\r\n\r\n"));
    }

    void exitDuringTheStartUpScanSkipsListen()
    {
        QTemporaryDir music;
        QVERIFY(writeFile(music.filePath(QStringLiteral("song.mp3")), "ID3"));
        Fixture f("127.0.0.1\r\n0\r\n" + QFile::encodeName(music.path()) + "\r\n");
        bool exitedInside = false;
        QTimer::singleShot(0, &f.window, [&] {
            exitedInside = true;
            f.window.requestExit();
        });
        f.window.Form_Load(); // the first event it lets through is inside the scan
        QVERIFY2(exitedInside, "the scan let no event through");
        QVERIFY(f.window.exitDone());
        QVERIFY(!f.server.lines().lineInUse(0)); // no listener opened after the settings were saved
    }

    void trayCodesRaiseTheirEventOnly()
    {
        // Events numbered in declaration order: RButtonDown = 1 .. LButtonDblClick = 6.
        const std::pair<int, int> codes[]
                = {{512, 0}, {513, 4}, {514, 5}, {515, 6}, {516, 1}, {517, 2}, {518, 3}, {519, 0}};
        for (const auto &[code, event] : codes) {
            CTray tray;
            QSignalSpy spies[] = {{&tray, &CTray::RButtonDown},     {&tray, &CTray::RButtonUp},
                                  {&tray, &CTray::RButtonDblClick}, {&tray, &CTray::LButtonDown},
                                  {&tray, &CTray::LButtonUp},       {&tray, &CTray::LButtonDblClick}};
            tray.notify(code);
            for (int i = 0; i < 6; ++i)
                QCOMPARE(spies[i].count(), i + 1 == event ? 1 : 0);
        }
    }

    void trayBusyFlagAndReleaseInsideItsOwnEvent()
    {
        CTray tray;
        QVERIFY(!tray.ShowIcon()); // no picture box yet
        QSignalSpy doubles(&tray, &CTray::LButtonDblClick);
        connect(&tray, &CTray::LButtonDown, &tray, [&] { tray.notify(515); }); // arrives while busy: dropped
        tray.notify(513);
        QCOMPARE(doubles.count(), 0);
        tray.notify(515);
        QCOMPARE(doubles.count(), 1);
        // Released from inside its own event, the object survives until it returns.
        QPointer<CTray> released = new CTray;
        connect(released, &CTray::LButtonDblClick, released, [&] { released->release(); });
        released->notify(515);
        QVERIFY(released);
        QTRY_VERIFY(!released);
    }

    void trayDoubleClickRestoresAndPanesMirrorTheCore()
    {
        Fixture f;
        f.window.Form_Load();
        f.window.showMinimized();
        f.window.hide();
        f.window.Tray->notify(515);
        QVERIFY(f.window.isVisible() && !f.window.isMinimized());

        // Line ends of every kind, CR LF split over two arrivals, purges on the way (some between the two).
        const auto shown = [](const QString &text) {
            bool pending = false;
            return paneDisplayText(text, pending);
        };
        for (int i = 0; i < 300; ++i) {
            f.server.AddLog(QString(i * 37 % 900, u'l'));
            f.server.log().AddIncoming(QString(i * 53 % 1200, u'd') + (i % 2 ? "\r" : "\n\rx\r"));
            f.server.log().AddIncoming(QStringLiteral("\nSLIST\r\n") + QString(i * 29 % 1100, u's'));
            QCOMPARE(f.find<QPlainTextEdit>("txtLog")->toPlainText(), shown(f.server.log().logPane().text()));
            QCOMPARE(f.find<QPlainTextEdit>("txtIn")->toPlainText(),
                     shown(f.server.log().incomingPane().text()));
        }
        QVERIFY(f.find("lblLogWindowPurged")->isVisibleTo(&f.window));
        f.find<QPushButton>("cmdClear_2")->click(); // the log and its label only
        QVERIFY(!f.find("lblLogWindowPurged")->isVisibleTo(&f.window));
        QVERIFY(!f.server.log().incomingPane().text().isEmpty());
        f.server.AddLog(QStringLiteral("after clear"));
        QCOMPARE(f.find<QPlainTextEdit>("txtLog")->toPlainText(), QStringLiteral("after clear\n"));
    }

    void windowGrowsIntoTheTableAndPanesKeepsItsControlsAndMaximises()
    {
        Fixture f;
        f.window.Form_Load();
        QCOMPARE(f.window.size(), QSize(frmMain::kDesignWidth, frmMain::kDesignHeight));
        f.window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&f.window));
        QCOMPARE(layoutFaults(f.window), QStringList());
        const QStringList fixed = fixedParts(f.window);
        const QList<QSize> design = growingParts(f.window);

        const QSize larger(frmMain::kDesignWidth + 420, frmMain::kDesignHeight + 300);
        f.window.resize(larger);
        QTRY_COMPARE(f.window.size(), larger);
        const QList<QSize> grown = growingParts(f.window);
        for (qsizetype i = 0; i < grown.size(); ++i)
            QVERIFY2(grown.at(i).width() > design.at(i).width()
                             && grown.at(i).height() > design.at(i).height(),
                     qPrintable(QStringLiteral("part %1 did not grow").arg(i)));
        QCOMPARE(fixedParts(f.window), fixed);
        QCOMPARE(layoutFaults(f.window), QStringList());

        // Made as small as it goes, with both "PURGED" labels up: nothing cut
        // or overlapping, both panes still show a few lines of some thirty
        // characters, and the window is no larger than its design size.
        f.find("lblLogWindowPurged")->show();
        f.find("lblDataArrivalPurged")->show();
        f.window.resize(100, 100);
        QTRY_COMPARE(f.window.size(), f.window.minimumSize());
        QVERIFY(f.window.minimumWidth() > 100 && f.window.minimumHeight() > 100);
        QVERIFY(f.window.minimumWidth() <= frmMain::kDesignWidth
                && f.window.minimumHeight() <= frmMain::kDesignHeight);
        QCOMPARE(layoutFaults(f.window), QStringList());
        QCOMPARE(fixedParts(f.window).filter(QStringLiteral("cmd")), fixed.filter(QStringLiteral("cmd")));
        for (const char *name : {"txtLog", "txtIn"}) {
            const auto *pane = f.find<QPlainTextEdit>(name);
            const QFontMetrics metrics = pane->fontMetrics();
            QVERIFY2(pane->viewport()->width() >= 30 * metrics.horizontalAdvance(QLatin1Char('0'))
                             && pane->viewport()->height() >= 4 * metrics.lineSpacing(),
                     name);
        }

        // Offscreen, maximised is the screen's available area, whatever the
        // window's size limits; a window manager keeps to those limits, so
        // they must admit that area.
        const QList<QSize> smallest = growingParts(f.window);
        f.window.showMaximized();
        QTRY_VERIFY(f.window.isMaximized());
        QTRY_COMPARE(f.window.frameGeometry().size(), f.window.screen()->availableGeometry().size());
        const QSize filled = f.window.size();
        QCOMPARE(filled.expandedTo(f.window.minimumSize()).boundedTo(f.window.maximumSize()), filled);
        QVERIFY(growingParts(f.window) != smallest);
        QCOMPARE(layoutFaults(f.window), QStringList());
    }

    void trayMenuShowsTheWindowAndExitsOnceWhileARightClickKeepsItsEvents()
    {
        Fixture f;
        f.window.Form_Load();
        QMenu *menu = f.window.Tray->contextMenu();
        QVERIFY(menu); // there even without a notification area
        QStringList items;
        for (const QAction *action : menu->actions())
            items << action->text();
        QCOMPARE(items.join(u'|'), QStringLiteral("Show|Exit"));
        QAction *show = menu->actions().at(0), *exit = menu->actions().at(1);

        // The desktop opens the menu itself; the right click's events stay 516, then 517.
        QString events;
        connect(f.window.Tray, &CTray::RButtonDown, this, [&events] { events += u'D'; });
        connect(f.window.Tray, &CTray::RButtonUp, this, [&events] { events += u'U'; });
        f.window.Tray->activated(QSystemTrayIcon::Context);
        QCOMPARE(events, QStringLiteral("DU"));

        // Hidden after being maximised, or minimised (a close without a
        // notification area): "Show" brings it back in its normal state.
        f.window.showMaximized();
        QTRY_VERIFY(f.window.isMaximized());
        f.window.hide();
        show->trigger();
        QVERIFY(f.window.isVisible());
        QTRY_COMPARE(f.window.windowState(), Qt::WindowNoState);
        f.window.showMinimized();
        QTRY_VERIFY(f.window.isMinimized());
        show->trigger();
        QTRY_COMPARE(f.window.windowState(), Qt::WindowNoState);
        QVERIFY(f.window.isVisible() && !f.window.exitDone());

        // "Exit", from a hidden window too: the exit work, with the settings saved, once.
        const QString settings = f.dir.filePath(QLatin1String(kSettingsFileName));
        f.server.setTxtMusicFolder(QStringLiteral("/from the tray"));
        f.window.hide();
        exit->trigger();
        QVERIFY(f.window.exitDone() && f.server.exiting() && !f.window.Tray);
        QCOMPARE(readFile(settings), QByteArray("127.0.0.1\r\n0\r\n/from the tray\r\n"));
        QVERIFY(QFile::remove(settings));
        exit->trigger();
        QVERIFY(!QFile::exists(settings));
    }
};

QTEST_MAIN(TestUiWindow)
#include "tst_ui_window.moc"
