// The status bar: the core's ServerStatus, shown without a repaint storm.
#include "app/ui/frmMain.h"

#include "app/Server.h"
#include "app/ServerStatus.h"

#include <QLabel>
#include <QPainter>
#include <QStatusBar>
#include <QStyle>
#include <QTimer>

namespace {

// At most this often the status bar is redrawn. A stream changes the
// status with every piece, many thousand times a second.
constexpr int kStatusRefreshMs = 100;

// A label that gives way: when the status bar is narrower than its text, it
// shows the text cut with an ellipsis (the whole text in its tool tip)
// rather than making the window wider.
class StatusLabel : public QLabel {
public:
    StatusLabel(const char *name, QWidget *parent) : QLabel(parent)
    {
        setObjectName(QLatin1String(name));
        setTextFormat(Qt::PlainText);
        // Sunken panels keep the figures apart from each other.
        setFrameStyle(QFrame::Panel | QFrame::Sunken);
        setMargin(2);
    }

    void setStatusText(const QString &text)
    {
        if (text == this->text())
            return;
        setText(text);
        setToolTip(text);
    }

    QSize minimumSizeHint() const override
    {
        QSize size = QLabel::minimumSizeHint();
        size.setWidth(qMin(size.width(), fontMetrics().horizontalAdvance(QStringLiteral("0000…"))));
        return size;
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        drawFrame(&painter);
        const int m = margin();
        const QRect area = contentsRect().adjusted(m, 0, -m, 0);
        const QString shown = fontMetrics().elidedText(text(), Qt::ElideRight, area.width());
        style()->drawItemText(&painter, area, Qt::AlignLeft | Qt::AlignVCenter, palette(), isEnabled(), shown,
                              foregroundRole());
    }
};

} // namespace

void frmMain::buildStatusBar()
{
    QStatusBar *bar = statusBar();
    bar->setObjectName(QStringLiteral("staStatus"));
    lblStatusActivity = new StatusLabel("lblStatusActivity", bar);
    lblStatusListen = new StatusLabel("lblStatusListen", bar);
    lblStatusSongs = new StatusLabel("lblStatusSongs", bar);
    lblStatusClients = new StatusLabel("lblStatusClients", bar);
    // The activity takes the room; the three figures keep their width while
    // there is room for them.
    bar->addWidget(lblStatusActivity, 1);
    bar->addPermanentWidget(lblStatusListen);
    bar->addPermanentWidget(lblStatusSongs);
    bar->addPermanentWidget(lblStatusClients);

    mStatusRefresh = new QTimer(this);
    mStatusRefresh->setObjectName(QStringLiteral("tmrStatusRefresh"));
    mStatusRefresh->setSingleShot(true);
    mStatusRefresh->setInterval(kStatusRefreshMs);
}

void frmMain::connectStatus()
{
    connect(&mServer.status(), &ServerStatus::changed, this, [this] {
        if (!mStatusRefresh->isActive())
            mStatusRefresh->start();
    });
    connect(mStatusRefresh, &QTimer::timeout, this, &frmMain::showStatus);
    showStatus();
}

void frmMain::showStatus()
{
    const ServerStatus &status = mServer.status();
    static_cast<StatusLabel *>(lblStatusActivity)->setStatusText(status.activityText());
    static_cast<StatusLabel *>(lblStatusListen)->setStatusText(status.listenText());
    static_cast<StatusLabel *>(lblStatusSongs)->setStatusText(status.songsText());
    static_cast<StatusLabel *>(lblStatusClients)->setStatusText(status.clientsText());
    // A rate falls while a client stops reading, with no event to say so:
    // keep looking while something is under way, and only then.
    if (status.busy() && !mStatusRefresh->isActive())
        mStatusRefresh->start();
}
