#pragma once
// What the server is doing, as the operator should see it at a glance:
// where it listens (or why it does not), how many songs it offers, how many
// clients are connected, and the scan or song stream under way with its
// progress. It is fed by the signals of the lines, the catalogue and the
// interpreter it is given, which must outlive it; it announces every change
// through changed(), and a display reads the state (or the texts below)
// when it chooses to. A stream changes the state with every piece, so a
// display should not redraw at every change.
//
// A song's progress counts the bytes of the whole song that the system has
// taken for its line, not the piece in flight: it reaches the song's size
// exactly when the last byte has been taken, and the stream is forgotten
// right after, or when its line goes. Sends that were still outstanding on
// the line when the stream began are not counted.
//
// Nothing here waits or processes events: every handler returns at once,
// so all of them can run inside the send gate and inside a walk.

#include "net/Lines.h"

#include <QList>
#include <QObject>
#include <QString>

#include <bitset>
#include <deque>
#include <functional>

class Interpreter;
class SongCatalogue;

class ServerStatus : public QObject {
    Q_OBJECT
public:
    struct Listener {
        qint16 line = -1;
        QString address; // as bound: "0.0.0.0" or "::" for every interface
        quint16 port = 0;
        bool portChosenBySystem = false;
    };
    struct SongStream {
        bool active = false;
        qint16 line = -1;
        QString path;
        QString client; // the target line's peer address
        qint64 size = 0;
        qint64 sent = 0; // bytes of the whole song the system has taken
    };
    // Milliseconds on a clock that never goes back.
    using Clock = std::function<qint64()>;

    ServerStatus(Lines &lines, SongCatalogue &catalogue, Interpreter &interpreter, QObject *parent = nullptr);
    ~ServerStatus() override;

    // Test seam: the clock the transfer rate is measured with.
    void setClock(Clock clock);

    const QList<Listener> &listeners() const { return mListeners; }
    // Why nothing listens: the last Listen's error or the end of the last
    // listener. Empty before the first Listen.
    const QString &notListeningReason() const { return mNotListening; }
    int clients() const { return int(mClientLines.count()); }
    // Songs the catalogue offers (during a scan, the previous scan's).
    qint32 songs() const { return mSongs; }
    bool scanning() const { return mScanning; }
    qint64 scanFolders() const { return mScanFolders; }
    qint64 scanSongs() const { return mScanSongs; }
    const SongStream &songStream() const { return mStream; }
    // Bytes per second of the song stream over the last few seconds (falls
    // to 0 when the client stops reading); 0 without a stream.
    double songRate() const;
    // Something is under way whose figures change with time alone.
    bool busy() const { return mScanning || mStream.active; }

    // The texts a display shows.
    QString listenText() const;
    QString songsText() const;
    QString clientsText() const;
    // The scan and the song stream under way; "Idle" when neither is.
    QString activityText() const;

    // --- handlers of the subsystems' signals, connected at construction -------
    // (public, so that a display can be tried with made-up events)
    void Lines_listenStarted(qint16 line, const QString &boundAddress, quint16 port, bool portChosenBySystem);
    void Lines_listenFailed(int number, const QString &description);
    void Lines_connectionAccepted(qint16 line);
    void Lines_lineReleased(qint16 line);
    void Lines_SendProgress(qint16 line, qint64 bytesSent, qint64 bytesRemaining);
    void Lines_SendComplete(qint16 line);
    void Catalogue_scanStarted();
    void Catalogue_musicFolderUnreadable(const QString &folder, const QString &reason);
    void Catalogue_scanProgress(qint64 folders, qint64 songs);
    void Catalogue_scanEnded(bool completed, qint32 songCount, qint64 folders);
    void Interpreter_songStreamStarted(qint16 line, const QString &path, qint64 size);
    void Interpreter_songStreamEnded(qint16 line, qint64 handedOver, qint64 size);

signals:
    void changed();

private:
    struct RateSample {
        qint64 ms;
        qint64 bytes;
    };
    void endStream();
    void noteRateSample();

    Lines &mLines;
    Clock mClock;
    QList<Listener> mListeners;
    QString mNotListening;
    std::bitset<Lines::kLineCount> mClientLines;
    qint32 mSongs = 0;
    bool mScanning = false;
    qint64 mScanFolders = 0;
    qint64 mScanSongs = 0;
    bool mFolderUnreadable = false; // at the last scan
    SongStream mStream;
    qint64 mStreamCompleted = 0;    // bytes of pieces whose SendComplete came
    bool mSkipEarlierSend = false;  // the line's send from before the stream is still out
    bool mStreamHandedOver = false; // every byte went to the gate; the last piece may be out
    std::deque<RateSample> mRateSamples;
};
