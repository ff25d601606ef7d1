#pragma once
// The command interpreter (DataArrival handler) with the one receive buffer
// mCmdBuffer and the one transfer state, and the reply senders: DoSend to
// every selected line, DoSendList and DoSendFile streaming to the line of the
// last selected row, and the SendProgress / SendComplete handlers that keep
// the table's transfer cells and pace every stream. The class is split by
// concern over Interpreter.cpp (arrivals and the buffer), Actions.cpp (the
// keywords) and Replies.cpp (the senders and the send events).
//
// Services: the log, the incoming pane, "Hide System Messages", the
// information box, the exit flag and the event pump come through
// ProtocolServices. The lines and the catalogue are the ones given at
// construction; the Interpreter handles the lines' DataArrival, SendProgress
// and SendComplete from then on. It must be destroyed before either of them.
//
// Re-entrancy: DoSend waits in the send gate; DoSendList and DoSendFile let
// events through (ProtocolServices::pumpEvents) before every piece and wait
// in the gate; an information box (showInformation) runs a loop of its own.
// Any handler runs inside those waits, including Winsock_DataArrival for any
// line (nested runs), closes of the target line, and the operator's actions.
// Winsock_SendProgress and Winsock_SendComplete never wait.
//
// What holds across those waits:
//  - A message is taken off the front of mCmdBuffer before its action runs,
//    so a nested run never sees it again; the outer run reports whatever is
//    left in the buffer after its action ("Corrupt message received").
//  - Everything a run needs after its action (the sender's address, the
//    received text, the song's path and size) is captured before acting;
//    sockets are looked up again, never kept.
//  - A stream ends when its target line has been released since it began,
//    even if a new client holds the line again (the line's generation), or
//    once the exit work has begun. The transfer state is Idle after every
//    stream, however it ended.
//  - DoSendList streams the list as it was when the request was read; a
//    reload meanwhile does not mix two lists.

#include "protocol/ProtocolServices.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QObject>
#include <QString>

#include <cstdint>

class Lines;
class SongCatalogue;
struct SongLocation;

// Where the one conversation of the server stands.
enum class TransferState : qint16 {
    Idle = 0,     // at start, and after every song or song-list stream
    SongRead = 1, // a "SONG " request was read
    Sending = 2,  // a song is being sent: arrivals are held, not interpreted
};

class Interpreter : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Interpreter)
public:
    // An arrival that would grow mCmdBuffer beyond this is discarded together
    // with the buffer (one log line says how many bytes were dropped): a
    // client that never sends CR LF cannot grow memory without bound.
    static constexpr qsizetype kMaxCmdBuffer = 32 * 1024;
    // Runs that act on a message can wait, and arrivals run nested in those
    // waits: a client that keeps the gate shut while another sends one
    // message per arrival would otherwise deepen the stack until it
    // overflows. Beyond this many acting runs, an arrival is held as during
    // a song: logged and buffered, interpreted by a later arrival.
    static constexpr int kMaxNestedRuns = 64;
    // Shown (or logged, where no box can be shown) when a reply has no line.
    static QString noSelectionText()
    {
        return QStringLiteral("No connections selected from the Active Connections windows");
    }

    Interpreter(ProtocolServices services, Lines &lines, SongCatalogue &catalogue, QObject *parent = nullptr);
    ~Interpreter() override;

    // The handlers of the lines' events, connected at construction. The
    // arrival can wait (see above); the other two never do.
    void Winsock_DataArrival(qint16 line, qint64 bytesTotal);
    void Winsock_SendProgress(qint16 line, qint64 bytesSent, qint64 bytesRemaining);
    void Winsock_SendComplete(qint16 line);

    TransferState transferState() const { return mTransferState; }
    // The receive buffer: text received and not interpreted yet.
    const QByteArray &cmdBuffer() const { return mCmdBuffer; }
    // The size the last file header announced.

signals:
    // A song stream to `line` begins: `size` bytes of the file at `path` are
    // to go. Raised only for a stream that has a target line.
    void songStreamStarted(qint16 line, const QString &path, qint64 size);
    // That stream is over, with handedOver of its bytes handed to the send
    // gate: all of them, or fewer when it was cut short. The last piece may
    // still be on its way to the system (its SendComplete follows).
    void songStreamEnded(qint16 line, qint64 handedOver, qint64 size);
    // Both are raised from inside DoSendFile: their handlers must not wait.

private:
    // One keyword and what it does with the text that follows it.
    struct KeywordAction {
        QByteArrayView keyword;
        void (Interpreter::*handler)(QByteArrayView argument);
    };

    // --- arrivals and the buffer (Interpreter.cpp) ------------------------------
    void appendToBuffer(const QByteArray &data);
    void interpretFront();

    // --- keywords (Actions.cpp) -------------------------------------------------
    void act(const QByteArray &message);
    void actSong(QByteArrayView argument);
    void actReady(QByteArrayView);
    void actSize(QByteArrayView);
    void actNoop(QByteArrayView);
    void actSync(QByteArrayView);
    void actList(QByteArrayView);
    void actLength(QByteArrayView);

    // --- replies (Replies.cpp) --------------------------------------------------
    void DoSend(const QByteArray &text);
    void DoSendList();
    // Streams exactly announcedSize bytes of the song, the size its header
    // gave: a file that grew since sends no more. The client counts bytes
    // against that header, so when the file cannot be opened now as a
    // regular file within the music folder, or ends or fails before that
    // many bytes, the target line is closed (and both are logged): the
    // client sees its connection end instead of waiting for ever or taking
    // the next header for song data.
    void DoSendFile(const SongLocation &song, qint64 announcedSize);
    // The song the catalogue's last lookup chose, to be opened as SongFile
    // opens it (within the music folder unless links may lead anywhere).
    SongLocation chosenSong() const;
    // The line of the last selected row, or -1.
    qint16 lastSelectedLine() const;
    // Closes the line of a song that ended after `sent` of its announced
    // bytes, if it is still that stream's connection. Never waits.
    void closeShortSong(qint16 line, std::uint64_t generation, qint64 sent, qint64 announced,
                        const QString &shownPath);

    void AddLog(const QString &msg) { mServices.log(msg); }

    ProtocolServices mServices;
    Lines &mLines;
    SongCatalogue &mCatalogue;
    TransferState mTransferState = TransferState::Idle;
    qint64 SongSize = 0;
    QByteArray mCmdBuffer;
    // Why "READY" has nothing to send: set when the last valid "SONG "
    // request could not be answered with a header (too large to announce,
    // looked up during a scan, unreadable); empty once a header went out.
    QString mNoSongReason;
    // Runs now inside interpretFront, nested in each other's waits.
    int mActingRuns = 0;
};
