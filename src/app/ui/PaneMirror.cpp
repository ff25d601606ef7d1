#include "app/ui/PaneMirror.h"

#include "app/OperatorLog.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextCursor>

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
    : QObject(parent), mEdit(edit)
{
    mEdit->setPlainText(paneDisplayText(pane.text(), mPendingCR));
    purgedLabel->setVisible(pane.purgedLabelVisible());
    connect(&pane, &MessagePane::appended, this, &PaneMirror::appended);
    connect(&pane, &MessagePane::cleared, this, &PaneMirror::cleared);
    connect(&pane, &MessagePane::purgedLabelChanged, purgedLabel, &QLabel::setVisible);
}

void PaneMirror::appended(const QString &text)
{
    const QString shown = paneDisplayText(text, mPendingCR);
    if (shown.isEmpty())
        return;
    // Follow the new text only when the operator was already at the end, so
    // reading older entries is not disturbed by new ones.
    QScrollBar *bar = mEdit->verticalScrollBar();
    const bool atEnd = bar->value() >= bar->maximum();
    QTextCursor cursor(mEdit->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(shown);
    if (atEnd)
        bar->setValue(bar->maximum());
}

void PaneMirror::cleared()
{
    mEdit->clear();
    mPendingCR = false;
}
