// The DataArrival handler: logging, the receive buffer and the cut of the
// message at its front. What the keywords do is in Actions.cpp; the reply
// senders and the transfer handlers are in Replies.cpp.
#include "protocol/Interpreter.h"

#include "net/Lines.h"
#include "net/Winsock.h"
#include "protocol/Wire.h"

using Wire::groupedCount;

namespace {
// The shortest message: a five-character keyword and CR LF.
constexpr qsizetype kMinMessage = 7;
} // namespace

Interpreter::Interpreter(ProtocolServices services, Lines &lines, SongCatalogue &catalogue, QObject *parent)
    : QObject(parent), mServices(std::move(services)), mLines(lines), mCatalogue(catalogue)
{
    connect(&mLines, &Lines::DataArrival, this, &Interpreter::Winsock_DataArrival);
    connect(&mLines, &Lines::SendProgress, this, &Interpreter::Winsock_SendProgress);
    connect(&mLines, &Lines::SendComplete, this, &Interpreter::Winsock_SendComplete);
}

Interpreter::~Interpreter() = default;

void Interpreter::Winsock_DataArrival(qint16 line, qint64 bytesTotal)
{
    if (!Lines::validLine(line))
        return;
    Winsock *socket = mLines.socket(line);
    if (!socket)
        return; // released before this delivery ran

    // Taken now: the action below may wait, and the line may be closed or
    // handed to another client before the incoming pane is written.
    const QString remoteIP = socket->RemoteHostIP();
    const QString who = Lines::signPadded(line) + QStringLiteral(" - ") + remoteIP;

    const qint64 received = socket->BytesReceived();
    if (received != bytesTotal) {
        AddLog(QStringLiteral("*** #") + Lines::signPadded(line) + QStringLiteral("Bytes Received = ")
               + Lines::signPadded(received) + QStringLiteral(" / Bytes Total = ")
               + Lines::signPadded(bytesTotal));
    }
    const QByteArray data = socket->GetData();
    socket = nullptr;

    const QString text = QString::fromUtf8(data);
    const QString count = groupedCount(data.size());
    AddLog(who + QStringLiteral(" - Recv=") + count + QStringLiteral(" bytes"));
    AddLog(who + QStringLiteral(" - msg=[") + text + QLatin1Char(']'));

    appendToBuffer(data);
    if (mCmdBuffer.size() >= kMinMessage && mTransferState != TransferState::Sending
        && mActingRuns < kMaxNestedRuns) {
        ++mActingRuns;
        interpretFront();
        --mActingRuns;
    }

    if (!mServices.hideSystemMessages()) {
        mServices.incoming(QStringLiteral("\r\n-->") + remoteIP + QStringLiteral(" - ") + count
                           + QStringLiteral(" bytes: \r\n\r\n"));
    }
    mServices.incoming(text);
}

void Interpreter::appendToBuffer(const QByteArray &data)
{
    const qint64 total = qint64(mCmdBuffer.size()) + data.size();
    if (total > kMaxCmdBuffer) {
        // Nothing in there can be a message any client is entitled to send;
        // start afresh rather than keep a tail that may be half of one.
        mCmdBuffer.clear();
        mCmdBuffer.squeeze();
        AddLog(QStringLiteral("Receive buffer limit of ") + groupedCount(kMaxCmdBuffer)
               + QStringLiteral(" bytes exceeded: ") + groupedCount(total)
               + QStringLiteral(" bytes dropped"));
        return;
    }
    mCmdBuffer.append(data);
}

void Interpreter::interpretFront()
{
    // The message is cut off before its action runs: the action may wait,
    // and a run nested in that wait must find the text that follows it, not
    // the same message again. Without a CR LF only the first character goes,
    // so the rest is read again at the next arrival.
    const qsizetype crlf = mCmdBuffer.indexOf("\r\n");
    const qsizetype cut = crlf >= 0 ? crlf + 2 : 1;
    // The whole buffer as it stands: a song number is read up to the first
    // character that cannot belong to it, which may lie beyond the cut.
    const QByteArray front = mCmdBuffer;
    mCmdBuffer.remove(0, cut);

    act(front);

    if (!mCmdBuffer.isEmpty())
        AddLog(QStringLiteral("Corrupt message received\r\n") + QString::fromUtf8(mCmdBuffer));
}
