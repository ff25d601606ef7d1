#pragma once
// The operator log (txtLog) and the incoming-messages pane (txtIn) as text
// models with their purge rules, and the "PURGED" labels. The window mirrors
// each pane by appending only what is new, so an append costs time in
// proportion to the message, not to the pane.
//
// Nothing here waits or processes events; every call returns at once.

#include <QDateTime>
#include <QObject>
#include <QString>

inline constexpr qsizetype kPanePurgeLimit = 65000;

// The log tests its length before the append (and can pass the limit by one
// message); the incoming pane tests the length it would have after it.
constexpr bool logPurgeNeeded(qsizetype currentLength)
{
    return currentLength > kPanePurgeLimit;
}
constexpr bool incomingPurgeNeeded(qsizetype currentLength, qsizetype addedLength)
{
    return currentLength + addedLength > kPanePurgeLimit;
}

// How a log entry is written to standard output: one line, UTF-8, led by the
// time stamp when one is given ("2026-12-07 04:05:06 "). Line breaks that end
// the entry are left out (in the pane they only end its line). Inside the
// entry CR and LF become \r and \n and every other control character (C0,
// DEL and the C1 range U+0080..U+009F) \xNN per UTF-8 byte, so a client's
// text can neither drive the operator's terminal nor pass for a line of the
// server's. The text after the stamp is at most kMaxStdoutEntryBytes; a
// longer entry is cut at a character and ends with
// " [... N bytes left out]", N counting the entry's UTF-8 bytes not shown.
//
// The whole entry is bounded, not only what a client sent in it: a client's
// text (and a file name from a folder others may write to) can stand in
// almost any entry, today's or one added later, and the server's own words
// around it are short and come first, so they still show.
inline constexpr qsizetype kMaxStdoutEntryBytes = 2048;
QByteArray stdoutLogLine(const QString &msg, const QDateTime &stamp = {});
// The line AddLog writes for msg now: stamped with the local time unless the
// journal stamps lines (JOURNAL_STREAM set).
QByteArray stdoutLogEntry(const QString &msg);

// Standard output takes log lines at this rate on average, and up to the
// burst at once (start-up, a busy moment); lines beyond are dropped and
// counted. So a client that makes the server log as fast as it can fills
// no disk: at most about 115 MB an hour.
inline constexpr qint64 kStdoutBytesPerSecond = 32 * 1024;
inline constexpr qint64 kStdoutBurstBytes = 512 * 1024;

class LineWriter;
// The process's standard output, carrying the operator log (LineWriter: a
// write never waits; dropped lines are reported by a line of their own).
LineWriter &standardOutput();

class MessagePane : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    const QString &text() const { return mText; }
    bool purgedLabelVisible() const { return mPurged; }

    void append(const QString &text); // no purge test
    void clear();                     // empties the text; label untouched
    void setPurgedLabelVisible(bool visible);

signals:
    void appended(const QString &text);
    void cleared();
    void purgedLabelChanged(bool visible);

private:
    QString mText;
    bool mPurged = false;
};

class OperatorLog : public QObject {
    Q_OBJECT
public:
    explicit OperatorLog(QObject *parent = nullptr);

    MessagePane &logPane() { return mLogPane; }           // txtLog, lblLogWindowPurged
    MessagePane &incomingPane() { return mIncomingPane; } // txtIn, lblDataArrivalPurged

    // Appends msg and CR LF to the log (purging first when the log holds more
    // than 65000 characters) and writes msg to standard output, stamped with
    // the local time unless the journal stamps it (JOURNAL_STREAM set); that
    // write never waits (LineWriter). Out of memory,
    // the log is replaced by this entry alone and its label shown.
    void AddLog(const QString &msg);
    // Appends text to the incoming pane, emptying it first when the result
    // would exceed 65000 characters. Out of memory, the pane is replaced by
    // this text alone and its label shown (the only way that label shows).
    void AddIncoming(const QString &text);
    // Clear buttons: 0 empties the incoming pane, 2 the log; each hides its
    // pane's label. Other indices do nothing.
    void cmdClear_Click(int index);

    // Standard output echo of log entries; on by default.
    void setEchoToStdout(bool echo) { mEcho = echo; }

private:
    MessagePane mLogPane;
    MessagePane mIncomingPane;
    bool mEcho = true;
};
