#include "app/ui/frmMain.h"

#include "app/OperatorActions.h"
#include "app/OperatorLog.h"
#include "app/Server.h"
#include "app/ServerLifecycle.h"
#include "app/ui/CTray.h"
#include "app/ui/PaneMirror.h"
#include "app/ui/PictureBox.h"
#include "net/ConnectionTable.h"

#include <QAbstractItemModel>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTextDocument>
#include <QTimer>
#include <QTreeView>
#include <QVBoxLayout>

namespace {
QLabel *purgedLabel(const char *name, QWidget *parent)
{
    auto *label = new QLabel(QStringLiteral("PURGED"), parent);
    label->setObjectName(QLatin1String(name));
    QFont bold = label->font();
    bold.setBold(true);
    label->setFont(bold);
    label->setStyleSheet(QStringLiteral("color: #b00000;"));
    // Its place is kept while it is hidden, so the Clear button beside it
    // does not jump when it appears.
    QSizePolicy policy = label->sizePolicy();
    policy.setRetainSizeWhenHidden(true);
    label->setSizePolicy(policy);
    label->setVisible(false);
    return label;
}

QPushButton *clearButton(const char *name, QWidget *parent)
{
    auto *button = new QPushButton(QStringLiteral("x"), parent);
    button->setObjectName(QLatin1String(name));
    button->setToolTip(QStringLiteral("Clear"));
    button->setFixedWidth(28);
    return button;
}

// The Active Connections view. A stream changes its transfer cells with
// every piece (up to 1 MiB), up to thousands of times a second on loopback;
// repainting the table each time would cost more than sending the piece. The
// cells are repainted at most 25 times a second instead, always with their
// latest text.
class ConnectionsView : public QTreeView {
public:
    explicit ConnectionsView(QWidget *parent) : QTreeView(parent)
    {
        mRepaint.setSingleShot(true);
        mRepaint.setInterval(40);
        connect(&mRepaint, &QTimer::timeout, viewport(), qOverload<>(&QWidget::update));
    }

protected:
    void dataChanged(const QModelIndex &, const QModelIndex &, const QList<int> &) override
    {
        if (!mRepaint.isActive())
            mRepaint.start();
    }

private:
    QTimer mRepaint;
};

QPlainTextEdit *pane(const char *name, QWidget *parent)
{
    auto *edit = new QPlainTextEdit(parent);
    edit->setObjectName(QLatin1String(name));
    edit->setReadOnly(true);
    edit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    edit->setUndoRedoEnabled(false);
    edit->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    // Clients decide how long a line is. Looking for word boundaries in a
    // line of tens of kilobytes costs Qt's layout a second or more of CPU,
    // so a client could keep the server busy with what it sends: wrap
    // anywhere instead.
    edit->setWordWrapMode(QTextOption::WrapAnywhere);
    // However small the window, a pane keeps a few lines of some thirty
    // characters readable: the incoming pane's header takes the width it
    // needs, and the log pane would otherwise be left a dozen characters.
    const QFontMetrics metrics = edit->fontMetrics();
    const int frame = 2 * edit->frameWidth() + int(2 * edit->document()->documentMargin());
    const int scrollBar = edit->verticalScrollBar()->sizeHint().width();
    edit->setMinimumSize(metrics.horizontalAdvance(QLatin1Char('0')) * 32 + frame + scrollBar,
                         metrics.lineSpacing() * 4 + frame);
    return edit;
}

template <typename W> W *named(W *widget, const char *name)
{
    widget->setObjectName(QLatin1String(name));
    return widget;
}

// A real display can show a modal box; offscreen or minimal platforms cannot,
// and the text is logged instead.
bool hasRealDisplay()
{
    const QString platform = QGuiApplication::platformName();
    return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}
} // namespace

// The window lives in a static library: its resources are linked in only
// when something refers to them.
static void initResources()
{
    Q_INIT_RESOURCE(vorlune);
}

frmMain::frmMain(Server &server, OperatorActions &actions, ServerLifecycle &lifecycle, QWidget *parent)
    : QMainWindow(parent), mServer(server), mActions(actions), mLifecycle(lifecycle)
{
    initResources();
    setObjectName(QStringLiteral("frmMain"));
    setWindowIcon(QIcon(QStringLiteral(":/icons/vorlune.png")));
    buildControls();
    connectCore();
    attachTable();
    setWindowTitle(mServer.title().isEmpty() ? Server::applicationTitle() : mServer.title());
    if (hasRealDisplay()) {
        mServer.setInformationPresenter([this](const QString &text) {
            QMessageBox::information(this, Server::applicationTitle(), text);
        });
    }
    mLifecycle.setFrontEndSteps({[this] { pic->setPicture(windowIcon()); }, [this] { putUpTrayIcon(); },
                                 [this] { removeTrayIcon(); }});
    // Exit, from wherever it is asked for, closes the window first.
    mActions.setExitHandler([this] { mnuFileItem_Click(0); });
}

frmMain::~frmMain()
{
    // The Server outlives the window: it must not call into a dead window.
    mServer.setInformationPresenter({});
    disconnect(&mServer, nullptr, this, nullptr);
    mLifecycle.setFrontEndSteps({});
    mActions.setExitHandler([lifecycle = &mLifecycle] { lifecycle->exit(); });
    if (Tray) {
        Tray->release();
        Tray = nullptr;
    }
}

void frmMain::buildControls()
{
    auto *central = new QWidget(this);
    setCentralWidget(central);

    pic = named(new PictureBox(central), "pic");
    pic->setVisible(false);

    // --- Server Settings ---------------------------------------------------------
    fraSettings = named(new QGroupBox(QStringLiteral("Server Settings"), central), "fraSettings");
    Label4 = named(new QLabel(QStringLiteral("IP Address"), fraSettings), "Label4");
    txtIP = named(new QLineEdit(fraSettings), "txtIP");
    Label3 = named(new QLabel(QStringLiteral("Local Port"), fraSettings), "Label3");
    txtPort = named(new QLineEdit(QStringLiteral("15150"), fraSettings), "txtPort");
    cmdListen = named(new QPushButton(QStringLiteral("Listen"), fraSettings), "cmdListen");
    Label1 = named(new QLabel(QStringLiteral("Music Folder"), fraSettings), "Label1");
    txtMusicFolder = named(new QLineEdit(fraSettings), "txtMusicFolder");
    cmdReload = named(new QPushButton(QStringLiteral("Reload"), fraSettings), "cmdReload");
    Label4->setBuddy(txtIP);
    Label3->setBuddy(txtPort);
    Label1->setBuddy(txtMusicFolder);
    txtIP->setMinimumWidth(160);
    txtPort->setFixedWidth(80);
    cmdListen->setMinimumWidth(90);
    cmdReload->setMinimumWidth(90);

    // The settings keep their height; only the folder field gets wider.
    fraSettings->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Maximum);
    auto *settings = new QGridLayout(fraSettings);
    settings->addWidget(Label4, 0, 0);
    settings->addWidget(txtIP, 0, 1);
    settings->addWidget(Label3, 0, 2, Qt::AlignRight);
    settings->addWidget(txtPort, 0, 3);
    settings->setColumnStretch(4, 1);
    settings->addWidget(cmdListen, 0, 5);
    settings->addWidget(Label1, 1, 0);
    settings->addWidget(txtMusicFolder, 1, 1, 1, 4);
    settings->addWidget(cmdReload, 1, 5);

    // --- Active Connections ------------------------------------------------------
    fraConnections = named(new QGroupBox(QStringLiteral("Active Connections"), central), "fraConnections");
    ListView1 = named(new ConnectionsView(fraConnections), "ListView1");
    ListView1->setRootIsDecorated(false);
    ListView1->setItemsExpandable(false);
    ListView1->setUniformRowHeights(true);
    ListView1->setAllColumnsShowFocus(true);
    ListView1->setSelectionMode(QAbstractItemView::ExtendedSelection);
    ListView1->setSelectionBehavior(QAbstractItemView::SelectRows);
    ListView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ListView1->header()->setStretchLastSection(true);
    ListView1->setMinimumHeight(150);
    cmdSend = named(new QPushButton(QStringLiteral("Send"), fraConnections), "cmdSend");
    cmdClose = named(new QPushButton(QStringLiteral("Close"), fraConnections), "cmdClose");
    cmdSend->setMinimumWidth(90);
    cmdClose->setMinimumWidth(90);

    auto *connectionButtons = new QVBoxLayout;
    connectionButtons->addWidget(cmdSend);
    connectionButtons->addWidget(cmdClose);
    connectionButtons->addStretch(1);
    auto *connections = new QHBoxLayout(fraConnections);
    connections->addWidget(ListView1, 1);
    connections->addLayout(connectionButtons);

    // --- Log Messages --------------------------------------------------------------
    fraLog = named(new QGroupBox(QStringLiteral("Log Messages"), central), "fraLog");
    txtLog = pane("txtLog", fraLog);
    cmdClear_2 = clearButton("cmdClear_2", fraLog);
    lblLogWindowPurged = purgedLabel("lblLogWindowPurged", fraLog);
    auto *logHeader = new QHBoxLayout;
    logHeader->addStretch(1);
    logHeader->addWidget(lblLogWindowPurged);
    logHeader->addWidget(cmdClear_2);
    auto *log = new QVBoxLayout(fraLog);
    log->addLayout(logHeader);
    log->addWidget(txtLog, 1);

    // --- Incomming Messages ----------------------------------------------------------
    fraIncoming = named(new QGroupBox(QStringLiteral("Incomming Messages"), central), "fraIncoming");
    txtIn = pane("txtIn", fraIncoming);
    cmdClear_0 = clearButton("cmdClear_0", fraIncoming);
    chkHide = named(new QCheckBox(QStringLiteral("Hide System Messages"), fraIncoming), "chkHide");
    Label5 = named(new QLabel(QStringLiteral("Data Arrival:"), fraIncoming), "Label5");
    lblDataArrivalPurged = purgedLabel("lblDataArrivalPurged", fraIncoming);
    auto *inHeader = new QHBoxLayout;
    inHeader->addWidget(Label5);
    inHeader->addWidget(chkHide);
    inHeader->addStretch(1);
    inHeader->addWidget(lblDataArrivalPurged);
    inHeader->addWidget(cmdClear_0);
    auto *incoming = new QVBoxLayout(fraIncoming);
    incoming->addLayout(inHeader);
    incoming->addWidget(txtIn, 1);

    auto *panes = new QHBoxLayout;
    panes->addWidget(fraLog, 3);
    panes->addWidget(fraIncoming, 2);

    auto *main = new QVBoxLayout(central);
    main->addWidget(fraSettings);
    main->addWidget(fraConnections, 2);
    main->addLayout(panes, 3);

    // --- menu ------------------------------------------------------------------------
    mnuFile = named(menuBar()->addMenu(QStringLiteral("&File")), "mnuFile");
    mnuFileItem_0 = named(mnuFile->addAction(QStringLiteral("E&xit")), "mnuFileItem_0");

    // --- tray menu -------------------------------------------------------------------
    // The tray icon's right-click menu: the way back to a hidden window, and
    // the way out without showing the window first.
    mnuTray = named(new QMenu(this), "mnuTray");
    mnuTrayItem_0 = named(mnuTray->addAction(QStringLiteral("Show")), "mnuTrayItem_0");
    mnuTrayItem_1 = named(mnuTray->addAction(QStringLiteral("Exit")), "mnuTrayItem_1");
    mnuTray->setDefaultAction(mnuTrayItem_0);

    buildStatusBar();

    // The design size is where the window starts. What the operator gives it
    // beyond that goes to the table and the two panes; the layouts keep it
    // from being made smaller than its controls need.
    resize(kDesignWidth, kDesignHeight);
}

void frmMain::connectCore()
{
    OperatorLog &log = mServer.log();
    mLogMirror = new PaneMirror(log.logPane(), txtLog, lblLogWindowPurged, this);
    mIncomingMirror = new PaneMirror(log.incomingPane(), txtIn, lblDataArrivalPurged, this);

    showFields();
    connect(&mServer, &Server::fieldsChanged, this, &frmMain::showFields);
    // textEdited is the operator's typing only, so a field set by the core is
    // never written back to it.
    connect(txtIP, &QLineEdit::textEdited, this, [this](const QString &text) { mActions.setIP(text); });
    connect(txtPort, &QLineEdit::textEdited, this, [this](const QString &text) { mActions.setPort(text); });
    connect(txtMusicFolder, &QLineEdit::textEdited, this,
            [this](const QString &text) { mActions.setMusicFolder(text); });

    chkHide->setChecked(mServer.hideSystemMessages());
    connect(chkHide, &QCheckBox::toggled, this, [this](bool hide) { mActions.setHideSystemMessages(hide); });

    connect(&mServer, &Server::titleChanged, this, &QWidget::setWindowTitle);

    connect(cmdClear_0, &QPushButton::clicked, this, [this] { cmdClear_Click(0); });
    connect(cmdClear_2, &QPushButton::clicked, this, [this] { cmdClear_Click(2); });
    connect(cmdListen, &QPushButton::clicked, this, [this] { mActions.listen(); });
    connect(cmdClose, &QPushButton::clicked, this, [this] { mActions.closeSelected(); });
    connect(cmdReload, &QPushButton::clicked, this, [this] { mActions.reload(); });
    // cmdSend has no action: a click does nothing.
    connect(mnuFileItem_0, &QAction::triggered, this, [this] { mActions.exit(); });
    connect(mnuTrayItem_0, &QAction::triggered, this, [this] { mnuTrayItem_Click(0); });
    connect(mnuTrayItem_1, &QAction::triggered, this, [this] { mnuTrayItem_Click(1); });
    connectStatus();
}

void frmMain::showFields()
{
    const SettingsFields &f = mServer.fields();
    // Only a changed text is set again, so the operator's caret stays put.
    if (txtIP->text() != f.ip)
        txtIP->setText(f.ip);
    if (txtPort->text() != f.port)
        txtPort->setText(f.port);
    if (txtMusicFolder->text() != f.musicFolder)
        txtMusicFolder->setText(f.musicFolder);
}

void frmMain::attachTable()
{
    if (mTableAttached)
        return;
    QAbstractItemModel *model = mServer.table().model();
    if (!model)
        return;
    mTableAttached = true;
    ListView1->setModel(model);
    if (QItemSelectionModel *selection = mServer.table().selectionModel()) {
        QItemSelectionModel *own = ListView1->selectionModel();
        ListView1->setSelectionModel(selection);
        if (own && own != selection)
            own->deleteLater();
    }
    connect(model, &QAbstractItemModel::columnsInserted, this, &frmMain::applyColumnWidths);
    connect(model, &QAbstractItemModel::headerDataChanged, this, &frmMain::applyColumnWidths);
    connect(model, &QAbstractItemModel::modelReset, this, &frmMain::applyColumnWidths);
    // Cells such as the port or "Listen" are wider than their classic
    // columns; widen (never narrow) a column to what its rows show.
    auto widen = [this] {
        const int columns = ListView1->header()->count();
        for (int column = 0; column + 1 < columns; ++column) {
            const int needed = static_cast<QAbstractItemView *>(ListView1)->sizeHintForColumn(column);
            if (needed > ListView1->columnWidth(column))
                ListView1->setColumnWidth(column, needed);
        }
    };
    // New rows only: the transfer cells change with every piece of a stream,
    // and measuring every column then would cost more than sending the piece.
    // Their texts ("All", " 4096") fit the classic widths anyway.
    connect(model, &QAbstractItemModel::rowsInserted, this, widen);
    applyColumnWidths();
}

void frmMain::applyColumnWidths()
{
    // The classic widths are the least a column gets; a caption that needs
    // more is shown whole rather than cut to "Loca...".
    const QList<int> twips = ConnectionTable::columnWidthsTwips();
    const int dpi = logicalDpiX();
    QHeaderView *header = ListView1->header();
    for (int column = 0; column < twips.size(); ++column) {
        const int pixels = ConnectionTable::twipsToPixels(twips.at(column), dpi);
        int caption = column < header->count() ? header->sectionSizeHint(column) : 0;
        // A song piece counts up to 1 MiB: " 1048576" must show whole in the
        // transfer cells, which change too often to be measured as they change.
        if (column == ConnectionTable::BytesSent || column == ConnectionTable::BytesLeft)
            caption = qMax(caption,
                           ListView1->fontMetrics().horizontalAdvance(QStringLiteral(" 1048576"))
                                   + 3 * ListView1->style()->pixelMetric(QStyle::PM_HeaderMargin));
        if (qMax(pixels, caption) > 0)
            ListView1->setColumnWidth(column, qMax(pixels, caption));
    }
}

void frmMain::cmdClear_Click(int index)
{
    mActions.clearPane(index);
}

void frmMain::Tray_LButtonDblClick()
{
    if (!isVisible())
        showInNormalState();
}

void frmMain::mnuTrayItem_Click(int index)
{
    switch (index) {
    case 0:
        // Unlike the double click, "Show" also brings back a window that is
        // minimised or behind others: the operator asked to see it.
        if (!isVisible() || isMinimized())
            showInNormalState();
        else
            bringToFront();
        break;
    case 1: mActions.exit(); break;
    default: break;
    }
}

void frmMain::showInNormalState()
{
    setWindowState(windowState() & ~(Qt::WindowMinimized | Qt::WindowMaximized | Qt::WindowFullScreen));
    show();
    bringToFront();
}

void frmMain::bringToFront()
{
    // Offscreen there is nothing to bring forward, only a warning to get.
    if (!hasRealDisplay())
        return;
    raise();
    activateWindow();
}

void frmMain::closeEvent(QCloseEvent *event)
{
    if (Tag != CloseIntent::Exit) {
        event->ignore();
        // Without a notification area a hidden window could never come back.
        if (QSystemTrayIcon::isSystemTrayAvailable())
            hide();
        else
            showMinimized();
        return;
    }
    runExitWork();
    event->accept();
}
