#include "app/ui/PaneMirror.h"

#include "app/OperatorLog.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextCursor>
#include <QTimer>

#include <utility>

QString paneDisplayText(const QString &text, bool &pendingCR)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        if (c == QLatin1Char('\r')) {
            out += QLatin1Char('\n');
            pendingCR = true;
            continue;
        }
        if (c == QLatin1Char('\n') && pendingCR) {
            pendingCR = false;
            continue;
        }
        out += c;
        pendingCR = false;
    }
    return out;
}

PaneMirror::PaneMirror(MessagePane &pane, QPlainTextEdit *edit, QLabel *purgedLabel, QObject *parent)
    : QObject(parent), mEdit(edit), mShowTimer(new QTimer(this))
{
    mShowTimer->setSingleShot(true);
    mShowTimer->setInterval(kShowIntervalMs);
    connect(mShowTimer, &QTimer::timeout, this, &PaneMirror::showHeld);
    mEdit->setPlainText(paneDisplayText(pane.text(), mPendingCR));
    purgedLabel->setVisible(pane.purgedLabelVisible());
    connect(&pane, &MessagePane::appended, this, &PaneMirror::appended);
    connect(&pane, &MessagePane::cleared, this, &PaneMirror::cleared);
    connect(&pane, &MessagePane::purgedLabelChanged, purgedLabel, &QLabel::setVisible);
    // Whether the view follows is the operator's choice, made by scrolling.
    // A resize keeps the top line, so a view that showed the end would lose
    // it, and the newest entries (a warning) would go unseen.
    QScrollBar *bar = mEdit->verticalScrollBar();
    connect(bar, &QScrollBar::valueChanged, this,
            [this, bar](int value) { mFollowing = value >= bar->maximum(); });
    connect(bar, &QScrollBar::rangeChanged, this, [this, bar](int, int maximum) {
        if (mFollowing)
            bar->setValue(maximum);
    });
}

void PaneMirror::appended(const QString &text)
{
    mHeld += paneDisplayText(text, mPendingCR);
    // Started by the first text after a showing, not restarted by later
    // ones: a steady stream of entries is still shown every interval.
    if (!mHeld.isEmpty() && !mShowTimer->isActive())
        mShowTimer->start();
}

void PaneMirror::showHeld()
{
    mShowTimer->stop();
    const QString shown = std::exchange(mHeld, QString());
    if (shown.isEmpty())
        return;
    // Followed only when the operator was at the end, so reading older
    // entries is not disturbed by new ones.
    QTextCursor cursor(mEdit->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(shown);
    if (mFollowing)
        mEdit->verticalScrollBar()->setValue(mEdit->verticalScrollBar()->maximum());
}

void PaneMirror::cleared()
{
    mEdit->clear();
    mHeld.clear();
    mPendingCR = false;
}
