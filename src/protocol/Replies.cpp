// The reply senders (DoSend, DoSendList, DoSendFile) and the handlers of the
// send events that pace them.
#include "protocol/Interpreter.h"

#include "library/SongCatalogue.h"
#include "net/ConnectionTable.h"
#include "net/Lines.h"
#include "protocol/SongFile.h"
#include "protocol/Wire.h"

#include <QFile>
#include <QVarLengthArray>

#include <cstdint>
#include <cstring>
#include <functional>

namespace {

// Puts the transfer state back to Idle however a stream ends.
class TransferStateReset {
    Q_DISABLE_COPY_MOVE(TransferStateReset)
public:
    explicit TransferStateReset(TransferState &state) : mState(state) {}
    ~TransferStateReset() { mState = TransferState::Idle; }

private:
    TransferState &mState;
};

// The line a stream is for, as it was when the stream began. The line counts
// as gone once it has been released, even if another client holds it again.
class StreamTarget {
public:
    StreamTarget(const Lines &lines, const std::function<bool()> &exiting, qint16 line)
        : mLines(lines), mExiting(exiting), mLine(line), mGeneration(line >= 0 ? lines.generation(line) : 0)
    {
    }
    bool exists() const { return mLine >= 0; }
    qint16 line() const { return mLine; }
    std::uint64_t generation() const { return mGeneration; }
    bool open() const
    {
        return mLine >= 0 && !mExiting() && mLines.lineInUse(mLine)
                && mLines.generation(mLine) == mGeneration;
    }

private:
    const Lines &mLines;
    const std::function<bool()> &mExiting;
    qint16 mLine;
    std::uint64_t mGeneration;
};

} // namespace

qint16 Interpreter::lastSelectedLine() const
{
    const QList<qint16> selected = mLines.table().selectedLines();
    return selected.isEmpty() ? qint16(-1) : selected.constLast();
}

void Interpreter::DoSend(const QByteArray &text)
{
    // The selection as it is now: rows that go away while an earlier line
    // waits in the gate are not looked up again; their send fails in the
    // gate, which logs it, because their generation has moved on.
    const QList<qint16> selected = mLines.table().selectedLines();
    if (selected.isEmpty()) {
        mServices.showInformation(noSelectionText());
        return;
    }
    QVarLengthArray<std::uint64_t, 8> generations;
    for (qint16 line : selected)
        generations.append(mLines.generation(line));
    for (qsizetype i = 0; i < selected.size(); ++i) {
        if (mServices.exiting())
            return;
        mLines.SendMsg(selected[i], text, generations[i]);
    }
}

void Interpreter::DoSendList()
{
    TransferStateReset reset(mTransferState);
    const StreamTarget target(mLines, mServices.exiting, lastSelectedLine());
    // A copy (shared, so free) of the list as requested: a reload during the
    // stream neither mixes two lists nor shortens this one under our feet.
    const QByteArray list = mCatalogue.mFilelist();
    AddLog(QStringLiteral("Sending Song List (") + QString::number(list.size()) + QStringLiteral(" bytes)"));

    QByteArray piece;
    qsizetype position = 0;
    bool open = target.open();
    while (position < list.size() && open) {
        const qsizetype n = qMin(Wire::kPieceSize, list.size() - position);
        piece.resize(n);
        std::memcpy(piece.data(), list.constData() + position, size_t(n));
        position += n;
        mServices.pumpEvents();
        open = target.open();
        if (open)
            mLines.SendMsg(target.line(), piece, target.generation());
    }
    mTransferState = TransferState::Idle;
    if (!target.exists())
        mServices.showInformation(noSelectionText());
}

void Interpreter::DoSendFile(const SongLocation &song, qint64 announcedSize)
{
    TransferStateReset reset(mTransferState);
    const QString shownPath = QFile::decodeName(song.path);
    const StreamTarget target(mLines, mServices.exiting, lastSelectedLine());
    SongFile file;
    QString error;
    if (!file.open(song, &error)) {
        AddLog(QStringLiteral("Song not sent, the file cannot be opened: ") + shownPath + QStringLiteral(" (")
               + error + QLatin1Char(')'));
        closeShortSong(target.line(), target.generation(), 0, announcedSize, shownPath);
        return;
    }
    AddLog(QStringLiteral("Sending Song ") + shownPath + QStringLiteral(".\r\n"));
    if (target.exists())
        emit songStreamStarted(target.line(), shownPath, announcedSize);

    // The gate reads each piece from the file by its offset when it hands
    // the piece over, straight to the socket where it can; what the socket
    // does not take then goes with the next piece.
    qint64 remaining = announcedSize;
    qint64 offset = 0;
    bool open = target.open();
    while (remaining > 0 && open) {
        const qint64 n = qMin(SongFile::kPieceSize, remaining);
        mServices.pumpEvents();
        open = target.open();
        if (!open)
            break;
        const qint64 handed = mLines.SendFilePiece(target.line(), file.descriptor(), offset, n,
                                                   target.generation(), &error);
        offset += handed;
        remaining -= handed;
        if (!error.isEmpty()) {
            AddLog(QStringLiteral("Song stopped, the file cannot be read to its end: ") + shownPath
                   + QStringLiteral(" (") + error + QLatin1Char(')'));
            break;
        }
    }
    file.close();
    mTransferState = TransferState::Idle;
    if (target.exists())
        emit songStreamEnded(target.line(), announcedSize - remaining, announcedSize);
    if (remaining > 0 && target.open())
        closeShortSong(target.line(), target.generation(), announcedSize - remaining, announcedSize,
                       shownPath);
    if (!target.exists())
        mServices.showInformation(noSelectionText());
}

void Interpreter::closeShortSong(qint16 line, std::uint64_t generation, qint64 sent, qint64 announced,
                                 const QString &shownPath)
{
    if (mLines.closeLine(line, generation)) {
        AddLog(QStringLiteral("Song stopped after ") + Wire::groupedCount(sent) + QStringLiteral(" of ")
               + Wire::groupedCount(announced) + QStringLiteral(" bytes, line #") + QString::number(line)
               + QStringLiteral(" closed: ") + shownPath);
    }
}

void Interpreter::Winsock_SendProgress(qint16 line, qint64 bytesSent, qint64 bytesRemaining)
{
    mLines.table().setTransferCells(line, Lines::signPadded(bytesSent), Lines::signPadded(bytesRemaining));
}

void Interpreter::Winsock_SendComplete(qint16 line)
{
    mLines.table().setTransferCells(line, QStringLiteral("All"), QStringLiteral("None"));
    // This is what lets the gate hand over the next piece of any stream.
    mLines.setLineBusy(line, false);
}
