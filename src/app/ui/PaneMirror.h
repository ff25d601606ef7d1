#pragma once
// Shows one of the core's message panes (the log or the incoming pane) in a
// text widget, and its "PURGED" label. The widget follows the pane's
// signals: new text is inserted at the end, so an append costs time in
// proportion to the text added, not to the pane; a purge or Clear empties
// the widget. The widget is read-only: the core's text is the only copy.
//
// Line ends are shown as line breaks: CR LF, a lone CR and a lone LF each
// become one break, also when a CR LF pair is split over two appends.
//
// A view at the end stays at the end, as text comes and as the window
// changes size; one the operator scrolled back stays where it was.

#include <QObject>
#include <QString>

class MessagePane;
class QLabel;
class QPlainTextEdit;

// The displayed form of text. pendingCR carries "the text so far ended in a
// CR" from one call to the next (false at the start and after a clear).
QString paneDisplayText(const QString &text, bool &pendingCR);

class PaneMirror : public QObject {
    Q_OBJECT
public:
    PaneMirror(MessagePane &pane, QPlainTextEdit *edit, QLabel *purgedLabel, QObject *parent = nullptr);

private:
    void appended(const QString &text);
    void cleared();

    QPlainTextEdit *mEdit;
    bool mPendingCR = false;
    bool mFollowing = true; // the view shows the end
};
