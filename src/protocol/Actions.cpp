// What each keyword does: one table, looked up in one place.
#include "protocol/Interpreter.h"

#include "library/SongCatalogue.h"
#include "protocol/SongFile.h"
#include "protocol/Wire.h"

#include <QFile>

#include <optional>

using Wire::groupedCount;

void Interpreter::act(const QByteArray &message)
{
    // Exact, case-sensitive keywords of five characters; four-letter ones
    // carry their space. "RECV ", "SKIP " and anything else do nothing.
    static constexpr KeywordAction kActions[] = {
            {"SONG ", &Interpreter::actSong},   {"READY", &Interpreter::actReady},
            {"SIZE ", &Interpreter::actSize},   {"NOOP ", &Interpreter::actNoop},
            {"SYNC ", &Interpreter::actSync},   {"SLIST", &Interpreter::actList},
            {"SLLEN", &Interpreter::actLength},
    };
    const QByteArrayView keyword = QByteArrayView(message).first(5);
    for (const KeywordAction &action : kActions) {
        if (action.keyword == keyword)
            return (this->*action.handler)(QByteArrayView(message).sliced(5));
    }
}

void Interpreter::actSong(QByteArrayView argument)
{
    mTransferState = TransferState::SongRead;
    const std::optional<qint32> number = Wire::songNumberFromValue(Wire::readNumber(argument));
    mCatalogue.setSongNum(number.value_or(0));
    if (!number || *number < 1 || *number > mCatalogue.SongCount())
        return;

    const QString song = QStringLiteral("song ") + QString::number(*number);
    auto refuse = [&](const QString &reason) {
        mNoSongReason = reason;
        AddLog(QStringLiteral("No file header sent: ") + reason);
    };

    // During a scan the catalogue keeps offering the previous list, and
    // lookups with it; should one fail all the same, nothing is announced.
    if (!mCatalogue.GetMP3File()) {
        refuse(mCatalogue.scanning()
                       ? song + QStringLiteral(" cannot be looked up while the music folder is being scanned")
                       : song + QStringLiteral(" cannot be looked up"));
        return;
    }
    // Taken now: a "SONG " nested in DoSend's wait below changes SongPath.
    const SongLocation location = chosenSong();
    const QString shownPath = QFile::decodeName(location.path);
    // Announced only what can be read now, at the size it has now: the
    // scan may be long past, and the client trusts the header's size.
    QString error;
    SongFile file;
    if (!file.open(location, &error)) {
        refuse(song + QStringLiteral(" cannot be read (") + shownPath + QStringLiteral(": ") + error
               + QLatin1Char(')'));
        return;
    }
    const qint64 size = file.size();
    file.close();
    const std::optional<QByteArray> header = Wire::fileHeader(size, mCatalogue.SongRelativePath());
    if (!header) {
        // Announcing a cut size would make the client take the rest of the
        // song for the rest of the conversation.
        refuse(song + QStringLiteral(" is too large to announce (") + groupedCount(size)
               + QStringLiteral(" bytes; the header holds at most ") + groupedCount(Wire::kMaxAnnouncedSize)
               + QStringLiteral(")"));
        return;
    }
    SongSize = size;
    mNoSongReason.clear();
    DoSend(*header);
    AddLog(QStringLiteral("FILE ") + QString::fromLatin1(Wire::headerSizeField(size)) + QLatin1Char(' ')
           + shownPath + QStringLiteral("\r\n"));
}

void Interpreter::actReady(QByteArrayView)
{
    mTransferState = TransferState::Sending;
    const SongLocation location = chosenSong();
    QString reason = mNoSongReason;
    if (reason.isEmpty() && location.path.isEmpty())
        reason = QStringLiteral("no song has been chosen");
    if (!reason.isEmpty()) {
        AddLog(QStringLiteral("Nothing sent for READY: ") + reason);
        mTransferState = TransferState::Idle;
        return;
    }
    DoSendFile(location, SongSize);
}

SongLocation Interpreter::chosenSong() const
{
    return SongLocation{mCatalogue.SongPath(), mCatalogue.SongPathInFolder(), mCatalogue.SongFolder(),
                        mCatalogue.wideLinks()};
}

void Interpreter::actSize(QByteArrayView)
{
    AddLog(QStringLiteral("Sent SIZE-R Byte\r\n"));
}

void Interpreter::actNoop(QByteArrayView)
{
    AddLog(QStringLiteral("NOOP Received\r\n"));
}

void Interpreter::actSync(QByteArrayView)
{
    DoSend(Wire::syncReply());
}

void Interpreter::actList(QByteArrayView)
{
    AddLog(QStringLiteral("Sending Filelist"));
    DoSendList();
}

void Interpreter::actLength(QByteArrayView)
{
    DoSend(Wire::lengthReply(mCatalogue.mFilelist().size()));
}
