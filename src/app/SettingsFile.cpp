#include "app/SettingsFile.h"

#include <QBuffer>
#include <QFile>
#include <QSaveFile>
#include <array>
#include <cerrno>
#include <cstring>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {
// Reads the file line by line in pieces, so that a stray huge line costs no
// more memory than a piece.
class LineReader {
public:
    explicit LineReader(QIODevice &device) : mDevice(device) {}

    // Passes the next line to take, piece by piece, without its line end.
    // Returns false when no line is left.
    template <typename Take> bool next(Take &&take)
    {
        if (!fill())
            return false;
        if (mAfterCR) { // the LF of a CR LF that ended the previous line
            mAfterCR = false;
            if (mBuffer[mPos] == '\n') {
                ++mPos;
                if (!fill())
                    return false;
            }
        }
        for (;;) {
            qsizetype end = mPos;
            while (end < mBuffer.size() && mBuffer[end] != '\r' && mBuffer[end] != '\n')
                ++end;
            take(QByteArrayView(mBuffer).sliced(mPos, end - mPos));
            if (end < mBuffer.size()) {
                mAfterCR = mBuffer[end] == '\r';
                mPos = end + 1;
                return true;
            }
            mPos = end;
            if (!fill())
                return true; // the last line, without a line end
        }
    }

private:
    // False at the end of the device (or on a read error).
    bool fill()
    {
        if (mPos < mBuffer.size())
            return true;
        mBuffer = mDevice.read(kSettingsReadPiece);
        mPos = 0;
        // A byte-order mark left by an editor is not part of the IP address.
        if (!mStarted && mBuffer.startsWith("\xEF\xBB\xBF"))
            mPos = 3;
        mStarted = true;
        return mPos < mBuffer.size() || (!mBuffer.isEmpty() && fill());
    }

    QIODevice &mDevice;
    QByteArray mBuffer;
    qsizetype mPos = 0;
    bool mStarted = false;
    bool mAfterCR = false;
};

constexpr std::array<QString SettingsFields::*, 3> kFieldOfLine
        = {&SettingsFields::ip, &SettingsFields::port, &SettingsFields::musicFolder};

// True while the field shows what it showed when the file was read.
bool unchanged(const SettingsFields &fields, int line)
{
    const QString &text = fields.*kFieldOfLine[size_t(line)];
    const std::optional<KeptSettingsLine> &kept = fields.kept[size_t(line)];
    return (kept && kept->shownAs == text) || fields.asRead[size_t(line)] == text;
}

// What a line is written as when the file on disk does not hold it.
QByteArray lineOfField(const SettingsFields &fields, int line)
{
    const std::optional<KeptSettingsLine> &kept = fields.kept[size_t(line)];
    const QString &text = fields.*kFieldOfLine[size_t(line)];
    if (kept && kept->shownAs == text && kept->bytes.size() == kept->size)
        return kept->bytes;
    return text.toUtf8();
}

// Writes straight to the descriptor, not through Qt's buffer: QSaveFile's
// commit does not look at a failed flush of that buffer (a full disk would
// put a short file in place of the old one), and a short write comes back
// from Qt without a reason.
bool writeAll(QSaveFile &file, QByteArrayView bytes, QString &reason)
{
#ifdef Q_OS_UNIX
    while (!bytes.isEmpty()) {
        const ssize_t n = ::write(file.handle(), bytes.data(), size_t(bytes.size()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            reason = QString::fromLocal8Bit(std::strerror(n < 0 ? errno : ENOSPC));
            return false;
        }
        bytes = bytes.sliced(n);
    }
    return true;
#else
    if (file.write(bytes.data(), bytes.size()) == bytes.size() && file.flush())
        return true;
    reason = file.errorString();
    return false;
#endif
}

// Makes sure what was written reached the disk: some file systems report a
// full disk only here.
bool syncToDisk(QSaveFile &file, QString &reason)
{
#ifdef Q_OS_UNIX
    int result;
    do {
        result = ::fdatasync(file.handle());
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        reason = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
#else
    Q_UNUSED(file);
    Q_UNUSED(reason);
#endif
    return true;
}
} // namespace

int readSettings(QIODevice &device, SettingsFields &fields)
{
    LineReader reader(device);
    int assigned = 0;
    for (; assigned < 3; ++assigned) {
        QByteArray start;
        qint64 size = 0;
        const bool found = reader.next([&](QByteArrayView piece) {
            start += piece.first(qMin(piece.size(), kMaxSettingsLineBytes - start.size()));
            size += piece.size();
        });
        if (!found)
            break;
        const QString text = QString::fromUtf8(start);
        fields.*kFieldOfLine[size_t(assigned)] = text;
        if (size == start.size() && text.toUtf8() == start)
            fields.kept[size_t(assigned)].reset();
        else
            fields.kept[size_t(assigned)] = KeptSettingsLine{text, start, size};
    }
    return assigned;
}

int parseSettings(const QByteArray &bytes, SettingsFields &fields)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    return readSettings(buffer, fields);
}

void LoadSettings(const QString &path, SettingsFields &fields)
{
    QFile file(path);
    if (file.open(QIODevice::ReadOnly))
        readSettings(file, fields);
    for (size_t line = 0; line < 3; ++line)
        fields.asRead[line] = fields.*kFieldOfLine[line];
}

bool SaveSettings(const QString &path, const SettingsFields &fields, QString *whyNot,
                  const std::function<bool()> &beforeCommit)
{
    QString reason;
    QSaveFile file(path);
    // Never fall back to writing the old file in place: a failure would then
    // leave it empty or short. Until the commit the old file stays whole; the
    // new one is discarded with the object.
    file.setDirectWriteFallback(false);
    const bool saved = [&] {
        QFile current(path);
        const bool copying
                = (unchanged(fields, 0) || unchanged(fields, 1) || unchanged(fields, 2)) && current.exists();
        if (copying && !current.open(QIODevice::ReadOnly)) {
            reason = QStringLiteral("it cannot be read to keep its lines: ") + current.errorString();
            return false;
        }
        if (!file.open(QIODevice::WriteOnly))
            return false;
        LineReader reader(current);
        for (int line = 0; line < 3; ++line) {
            const bool keep = unchanged(fields, line);
            bool written = true;
            const bool onDisk = copying && reader.next([&](QByteArrayView piece) {
                written = written && (!keep || writeAll(file, piece, reason));
            });
            if (written && (!keep || !onDisk))
                written = writeAll(file, lineOfField(fields, line), reason);
            if (!written || !writeAll(file, "\r\n", reason))
                return false;
        }
        if (current.error() != QFileDevice::NoError) {
            reason = QStringLiteral("it cannot be read to keep its lines: ") + current.errorString();
            return false;
        }
        if (!syncToDisk(file, reason))
            return false;
        if (beforeCommit && !beforeCommit()) {
            reason = QStringLiteral("abandoned before it was complete");
            return false;
        }
        return file.commit();
    }();
    if (!saved && whyNot)
        *whyNot = reason.isEmpty() ? file.errorString() : reason;
    return saved;
}
