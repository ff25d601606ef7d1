#pragma once
// The bytes the server puts on the wire, and the reading of a song number,
// as pure functions: no state, no events, no Qt objects. Everything here is
// safe to call from anywhere, nested or not.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>

namespace Wire {

// The file header answering "SONG ": always exactly this many bytes.
inline constexpr qsizetype kFileHeaderSize = 4096;
// The header's size field is eight digits wide; a larger file cannot be
// announced truthfully and is never given a header.
inline constexpr qint64 kMaxAnnouncedSize = 99'999'999;
// The length reply answering "SLLEN": always exactly this many bytes.
inline constexpr qsizetype kLengthReplySize = 10;
// Song lists go out in pieces of this size (the last one shorter); songs in
// larger ones (SongFile::kPieceSize).
inline constexpr qsizetype kPieceSize = 4096;

// True when a file of this size can be announced in a file header.
constexpr bool sizeFitsHeader(qint64 size)
{
    return size >= 0 && size <= kMaxAnnouncedSize;
}

// The 8-character size field: decimal digits, left-aligned, padded on the
// right with spaces. Empty when the size does not fit.
QByteArray headerSizeField(qint64 size);

// "FILE ", the size field, a space, the relative path (backslashes between
// folders, no leading one), a NUL, spaces up to 4096 bytes. A path too long
// for the header is cut at the last byte, and the NUL falls away with it.
// No header exists for a size that does not fit the field.
std::optional<QByteArray> fileHeader(qint64 size, QByteArrayView relativePath);

// The length figure, a NUL, spaces up to 10 bytes. A ten-digit figure fills
// all ten bytes and leaves no room for the NUL; a longer one is cut to ten.
QByteArray lengthReply(qint64 length);

// The answer to "SYNC ".
inline QByteArray syncReply()
{
    return QByteArrayLiteral("!");
}

// Reads a number the forgiving way clients have always been allowed to
// write it: blanks, tabs and line feeds are skipped wherever they stand; an
// optional sign; decimal digits with an optional point and fraction and an
// optional exponent (E or D, optional sign, digits); or &H / &O followed by
// hexadecimal / octal digits. Reading stops at the first other character.
// Text without digits reads 0. A decimal exponent too large for a double
// reads as an infinity (too small: 0); the caller must range-check.
double readNumber(QByteArrayView text);

// The song number a read value selects: rounded to the nearest whole
// number, halves to the even one, range-checked as a floating-point value
// before any conversion. Infinities, NaN and values outside 32 bits select
// nothing.
std::optional<qint32> songNumberFromValue(double value);

// Number forms of the operator's log and the table cells.
QString groupedCount(qint64 value); // digit grouping of the user's locale

} // namespace Wire
