#include "app/SettingsFile.h"

#include <QBuffer>
#include <QFile>
#include <QSaveFile>

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

// Copies line `line` of the file the kept line came from into out, as long
// as it is still the line that was read.
bool copyKeptLine(const KeptSettingsLine &kept, int line, QIODevice &out, QString *whyNot)
{
    QFile source(kept.source);
    if (!source.open(QIODevice::ReadOnly)) {
        *whyNot = QStringLiteral("line %1 cannot be copied from %2: %3")
                          .arg(line + 1)
                          .arg(kept.source, source.errorString());
        return false;
    }
    LineReader reader(source);
    for (int skipped = 0; skipped < line; ++skipped) {
        if (!reader.next([](QByteArrayView) {}))
            break;
    }
    qint64 size = 0;
    bool same = true;
    bool wrote = true;
    const bool found = reader.next([&](QByteArrayView piece) {
        if (size < kept.bytes.size()) {
            const qsizetype compared = qMin(piece.size(), kept.bytes.size() - size);
            same = same && piece.first(compared) == QByteArrayView(kept.bytes).sliced(size, compared);
        }
        size += piece.size();
        wrote = wrote && same && out.write(piece.data(), piece.size()) == piece.size();
    });
    if (!wrote && same)
        return false; // the caller says why: the new file's error
    if (found && same && size == kept.size)
        return true;
    *whyNot = QStringLiteral("line %1 of %2 is no longer the line read at start-up")
                      .arg(line + 1)
                      .arg(kept.source);
    return false;
}
} // namespace

int readSettings(QIODevice &device, const QString &source, SettingsFields &fields)
{
    QString SettingsFields::*const targets[]
            = {&SettingsFields::ip, &SettingsFields::port, &SettingsFields::musicFolder};
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
        fields.*targets[assigned] = text;
        if (size == start.size() && text.toUtf8() == start)
            fields.kept[assigned].reset();
        else
            fields.kept[assigned] = KeptSettingsLine{text, start, size, source};
    }
    return assigned;
}

int parseSettings(const QByteArray &bytes, SettingsFields &fields)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    return readSettings(buffer, QString(), fields);
}

void LoadSettings(const QString &path, SettingsFields &fields)
{
    QFile file(path);
    if (file.open(QIODevice::ReadOnly))
        readSettings(file, path, fields);
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
        if (!file.open(QIODevice::WriteOnly))
            return false;
        const QString *const values[] = {&fields.ip, &fields.port, &fields.musicFolder};
        for (int line = 0; line < 3; ++line) {
            const std::optional<KeptSettingsLine> &kept = fields.kept[line];
            bool written;
            if (kept && kept->shownAs == *values[line]) {
                written = kept->bytes.size() == kept->size ? file.write(kept->bytes) == kept->size
                                                           : copyKeptLine(*kept, line, file, &reason);
            } else {
                const QByteArray bytes = values[line]->toUtf8();
                written = file.write(bytes) == bytes.size();
            }
            if (!written || file.write("\r\n", 2) != 2)
                return false;
        }
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
