#include "app/OperatorLog.h"

#include <cstdio>

QByteArray stdoutLogLine(const QString &msg)
{
    const QByteArray utf8 = msg.toUtf8();
    QByteArray out;
    out.reserve(utf8.size() + 1);
    for (char c : utf8) {
        const auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\t' && c != '\r' && c != '\n') || u == 0x7f) {
            static const char hex[] = "0123456789abcdef";
            out += "\\x";
            out += hex[u >> 4];
            out += hex[u & 0xf];
        } else {
            out += c;
        }
    }
    out += '\n';
    return out;
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

OperatorLog::OperatorLog(QObject *parent) : QObject(parent) {}

void OperatorLog::AddLog(const QString &msg)
{
    if (logPurgeNeeded(mLogPane.text().size())) {
        mLogPane.setPurgedLabelVisible(true);
        mLogPane.clear();
    }
    mLogPane.append(msg + QStringLiteral("\r\n"));
    if (mEcho) {
        // A closed or full standard output must never stop the server:
        // SIGPIPE is ignored by main(), and a failed write is dropped.
        const QByteArray line = stdoutLogLine(msg);
        std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
        std::fflush(stdout);
    }
}

void OperatorLog::AddIncoming(const QString &text)
{
    if (incomingPurgeNeeded(mIncomingPane.text().size(), text.size()))
        mIncomingPane.clear();
    mIncomingPane.append(text);
}

void OperatorLog::cmdClear_Click(int index)
{
    MessagePane *pane = index == 0 ? &mIncomingPane : index == 2 ? &mLogPane : nullptr;
    if (!pane)
        return;
    pane->clear();
    pane->setPurgedLabelVisible(false);
}
