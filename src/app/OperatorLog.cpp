#include "app/OperatorLog.h"

#include "app/LineWriter.h"

#include <new>

namespace {
// Outside a service manager the line carries its own time; the journal
// stamps what it receives itself.
QDateTime stdoutStamp()
{
    static const bool journal = qEnvironmentVariableIsSet("JOURNAL_STREAM");
    return journal ? QDateTime() : QDateTime::currentDateTime();
}

void appendHex(QByteArray &out, unsigned char u)
{
    static const char hex[] = "0123456789abcdef";
    out += "\\x";
    out += hex[u >> 4];
    out += hex[u & 0xf];
}
} // namespace

QByteArray stdoutLogLine(const QString &msg, const QDateTime &stamp)
{
    const QByteArray utf8 = msg.toUtf8();
    QByteArray out;
    out.reserve(utf8.size() + 21);
    if (stamp.isValid())
        out += stamp.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss ")).toLatin1();
    for (qsizetype i = 0; i < utf8.size(); ++i) {
        const char c = utf8[i];
        const auto u = static_cast<unsigned char>(c);
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (u < 0x20 || u == 0x7f) {
            appendHex(out, u);
        } else if (u == 0xc2 && i + 1 < utf8.size() && static_cast<unsigned char>(utf8[i + 1]) >= 0x80
                   && static_cast<unsigned char>(utf8[i + 1]) <= 0x9f) {
            // U+0080..U+009F: terminals in UTF-8 mode obey these as C1
            // controls (U+009B is a CSI), so they are escaped too.
            appendHex(out, u);
            appendHex(out, static_cast<unsigned char>(utf8[++i]));
        } else {
            out += c;
        }
    }
    out += '\n';
    return out;
}

LineWriter &standardOutput()
{
    static LineWriter writer(1, [](qint64 dropped) {
        return stdoutLogLine(
                QStringLiteral("(%1 log lines dropped: standard output was not accepting them)").arg(dropped),
                stdoutStamp());
    });
    return writer;
}

void MessagePane::append(const QString &text)
{
    mText += text;
    emit appended(text);
}

void MessagePane::clear()
{
    mText.clear();
    emit cleared();
}

void MessagePane::setPurgedLabelVisible(bool visible)
{
    if (mPurged == visible)
        return;
    mPurged = visible;
    emit purgedLabelChanged(visible);
}

OperatorLog::OperatorLog(QObject *parent) : QObject(parent)
{
}

void OperatorLog::AddLog(const QString &msg)
{
    try {
        if (logPurgeNeeded(mLogPane.text().size())) {
            mLogPane.setPurgedLabelVisible(true);
            mLogPane.clear();
        }
        mLogPane.append(msg + QStringLiteral("\r\n"));
    } catch (const std::bad_alloc &) {
        // Out of memory: drop the earlier log to make room for this entry.
        // A failure of this recovery itself goes to the caller.
        mLogPane.clear();
        mLogPane.append(msg + QStringLiteral("\r\n"));
        mLogPane.setPurgedLabelVisible(true);
    }
    if (mEcho) {
        try {
            standardOutput().write(stdoutLogLine(msg, stdoutStamp()));
        } catch (const std::bad_alloc &) {
            // The echo is a copy of the pane; losing one line of it is the
            // lesser harm.
        }
    }
}

void OperatorLog::AddIncoming(const QString &text)
{
    try {
        if (incomingPurgeNeeded(mIncomingPane.text().size(), text.size()))
            mIncomingPane.clear();
        mIncomingPane.append(text);
    } catch (const std::bad_alloc &) {
        mIncomingPane.clear();
        mIncomingPane.append(text);
        mIncomingPane.setPurgedLabelVisible(true);
    }
}

void OperatorLog::cmdClear_Click(int index)
{
    MessagePane *pane = index == 0 ? &mIncomingPane : index == 2 ? &mLogPane : nullptr;
    if (!pane)
        return;
    pane->clear();
    pane->setPurgedLabelVisible(false);
}
