// The DataArrival handler: logging, the receive buffer and the actions of
// the keywords. The reply senders and the transfer handlers are in
// Replies.cpp.
#include "protocol/Interpreter.h"

#include "app/OperatorLog.h"
#include "app/Server.h"
#include "library/SongCatalogue.h"
#include "net/ConnectionTable.h"
#include "net/Lines.h"
#include "net/Winsock.h"
#include "protocol/SongFile.h"
#include "protocol/Wire.h"

#include <QFile>

using Wire::groupedCount;

namespace {
// The shortest message: a five-character keyword and CR LF.
constexpr qsizetype kMinMessage = 7;
constexpr qint16 kStateSongRead = 1;
constexpr qint16 kStateSending = 2;
} // namespace

Interpreter::Interpreter(Server &server) : mServer(server) {}

Interpreter::~Interpreter() = default;

void Interpreter::Winsock_DataArrival(qint16 line, qint64 bytesTotal)
{
    if (line < 0 || line >= Lines::kLineCount)
        return;
    Winsock *socket = mServer.lines().socket(line);
    if (!socket)
        return; // released before this delivery ran

    // Taken now: the action below may wait, and the line may be closed or
    // handed to another client before the incoming pane is written.
    const QString remoteIP = socket->RemoteHostIP();
    const QString who = Lines::signPadded(line) + QStringLiteral(" - ") + remoteIP;

    const qint64 received = socket->BytesReceived();
    if (received != bytesTotal) {
        mServer.AddLog(QStringLiteral("*** #") + Lines::signPadded(line) + QStringLiteral("Bytes Received = ")
                       + Lines::signPadded(received) + QStringLiteral(" / Bytes Total = ") + Lines::signPadded(bytesTotal));
    }
    const QByteArray data = socket->GetData();
    socket = nullptr;

    const QString text = QString::fromUtf8(data);
    const QString count = groupedCount(data.size());
    mServer.AddLog(who + QStringLiteral(" - Recv=") + count + QStringLiteral(" bytes"));
    mServer.AddLog(who + QStringLiteral(" - msg=[") + text + QLatin1Char(']'));

    appendToBuffer(data);
    if (mCmdBuffer.size() >= kMinMessage && TransferState != kStateSending && mActingRuns < kMaxNestedRuns) {
        ++mActingRuns;
        interpretFront();
        --mActingRuns;
    }

    OperatorLog &log = mServer.log();
    if (!mServer.hideSystemMessages()) {
        log.AddIncoming(QStringLiteral("\r\n-->") + remoteIP + QStringLiteral(" - ") + count
                        + QStringLiteral(" bytes: \r\n\r\n"));
    }
    log.AddIncoming(text);
}

void Interpreter::appendToBuffer(const QByteArray &data)
{
    const qint64 total = qint64(mCmdBuffer.size()) + data.size();
    if (total > kMaxCmdBuffer) {
        // Nothing in there can be a message any client is entitled to send;
        // start afresh rather than keep a tail that may be half of one.
        mCmdBuffer.clear();
        mCmdBuffer.squeeze();
        mServer.AddLog(QStringLiteral("Receive buffer limit of ") + groupedCount(kMaxCmdBuffer)
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

    if (!mCmdBuffer.isEmpty()) {
        mServer.AddLog(QStringLiteral("Corrupt message received\r\n") + QString::fromUtf8(mCmdBuffer));
    }
}

void Interpreter::act(const QByteArray &message)
{
    const QByteArrayView keyword = QByteArrayView(message).first(5);
    if (keyword == "SONG ") {
        actSong(message.mid(5));
    } else if (keyword == "READY") {
        actReady();
    } else if (keyword == "SIZE ") {
        mServer.AddLog(QStringLiteral("Sent SIZE-R Byte\r\n"));
    } else if (keyword == "NOOP ") {
        mServer.AddLog(QStringLiteral("NOOP Received\r\n"));
    } else if (keyword == "SYNC ") {
        DoSend(Wire::syncReply());
    } else if (keyword == "SLIST") {
        mServer.AddLog(QStringLiteral("Sending Filelist"));
        DoSendList();
    } else if (keyword == "SLLEN") {
        DoSend(Wire::lengthReply(mServer.catalogue().mFilelist().size()));
    }
    // "RECV ", "SKIP " and anything else: nothing.
}

void Interpreter::actSong(const QByteArray &argument)
{
    TransferState = kStateSongRead;
    SongCatalogue &catalogue = mServer.catalogue();
    const std::optional<qint32> number = Wire::songNumberFromValue(Wire::readNumber(argument));
    catalogue.SongNum = number.value_or(0);
    if (!number || *number < 1 || *number > catalogue.SongCount())
        return;

    const QString song = QStringLiteral("song ") + QString::number(*number);
    auto refuse = [&](const QString &reason) {
        mNoSongReason = reason;
        mServer.AddLog(QStringLiteral("No file header sent: ") + reason);
    };

    // During a scan the catalogue keeps offering the previous list, and
    // lookups with it; should one fail all the same, nothing is announced.
    if (!catalogue.GetMP3File()) {
        refuse(catalogue.scanning()
                   ? song + QStringLiteral(" cannot be looked up while the music folder is being scanned")
                   : song + QStringLiteral(" cannot be looked up"));
        return;
    }
    // Taken now: a "SONG " nested in DoSend's wait below changes SongPath.
    const QByteArray path = catalogue.SongPath;
    const QString shownPath = QFile::decodeName(path);
    // Announced only what can be read now, at the size it has now: the
    // scan may be long past, and the client trusts the header's size.
    QString error;
    SongFile file;
    if (!file.open(path, &error)) {
        refuse(song + QStringLiteral(" cannot be read (") + shownPath + QStringLiteral(": ") + error
               + QLatin1Char(')'));
        return;
    }
    const qint64 size = file.size();
    file.close();
    const std::optional<QByteArray> header = Wire::fileHeader(size, catalogue.SongRelativePath);
    if (!header) {
        // Announcing a cut size would make the client take the rest of the
        // song for the rest of the conversation.
        refuse(song + QStringLiteral(" is too large to announce (") + groupedCount(size)
               + QStringLiteral(" bytes; the header holds at most ")
               + groupedCount(Wire::kMaxAnnouncedSize) + QStringLiteral(")"));
        return;
    }
    SongSize = size;
    mNoSongReason.clear();
    DoSend(*header);
    mServer.AddLog(QStringLiteral("FILE ") + QString::fromLatin1(Wire::headerSizeField(size))
                   + QLatin1Char(' ') + shownPath + QStringLiteral("\r\n"));
}

void Interpreter::actReady()
{
    TransferState = kStateSending;
    const QByteArray path = mServer.catalogue().SongPath;
    QString reason = mNoSongReason;
    if (reason.isEmpty() && path.isEmpty())
        reason = QStringLiteral("no song has been chosen");
    if (!reason.isEmpty()) {
        mServer.AddLog(QStringLiteral("Nothing sent for READY: ") + reason);
        TransferState = 0;
        return;
    }
    DoSendFile(path, SongSize);
}
