#pragma once
// Shows one of the core's message panes (the log or the incoming pane) in a
// text widget, and its "PURGED" label. The widget follows the pane's
// signals: new text is inserted at the end, so an append costs time in
// proportion to the text added, not to the pane; a purge or Clear empties
// the widget. The widget is read-only: the core's text is the only copy.
//
// New text reaches the widget at most every kShowIntervalMs, all that came
// meanwhile at once. Laying out and painting the widget after every entry
// cost about a millisecond, inside the handler that answers a client and
// before its reply (each message logs two entries); now an entry costs only
// its copy, and the window is redrawn a few times a second however busy the
// server. A purge or Clear drops the text not yet shown with the rest.
// Nothing here waits; the appends run inside any wait of the core.
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
class QTimer;

// The displayed form of text. pendingCR carries "the text so far ended in a
// CR" from one call to the next (false at the start and after a clear).
QString paneDisplayText(const QString &text, bool &pendingCR);

class PaneMirror : public QObject {
    Q_OBJECT
public:
    static constexpr int kShowIntervalMs = 50;

    PaneMirror(MessagePane &pane, QPlainTextEdit *edit, QLabel *purgedLabel, QObject *parent = nullptr);

    // Shows at once the text that waits for the next interval.
    void showHeld();

private:
    void appended(const QString &text);
    void cleared();

    QPlainTextEdit *mEdit;
    QTimer *mShowTimer;
    QString mHeld; // displayed form of the text appended since the last showing
    bool mPendingCR = false;
    bool mFollowing = true; // the view shows the end
};
