#include "protocol/Wire.h"

#include <QLocale>

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace Wire {

QByteArray headerSizeField(qint64 size)
{
    if (!sizeFitsHeader(size))
        return {};
    QByteArray field = QByteArray::number(size);
    field.append(8 - field.size(), ' ');
    return field;
}

std::optional<QByteArray> fileHeader(qint64 size, QByteArrayView relativePath)
{
    if (!sizeFitsHeader(size))
        return std::nullopt;
    QByteArray header;
    header.reserve(kFileHeaderSize);
    header.append("FILE ");
    header.append(headerSizeField(size));
    header.append(' ');
    const qsizetype room = kFileHeaderSize - header.size();
    header.append(relativePath.first(qMin(relativePath.size(), room)));
    if (header.size() < kFileHeaderSize)
        header.append('\0');
    header.append(kFileHeaderSize - header.size(), ' ');
    return header;
}

QByteArray lengthReply(qint64 length)
{
    QByteArray reply = QByteArray::number(qMax<qint64>(length, 0));
    if (reply.size() >= kLengthReplySize)
        return reply.left(kLengthReplySize);
    reply.append('\0');
    reply.append(kLengthReplySize - reply.size(), ' ');
    return reply;
}

namespace {

// A cursor over the text that hides the blanks, tabs and line feeds, which
// count as absent wherever they stand, even inside a number.
class BlankSkippingCursor {
public:
    explicit BlankSkippingCursor(QByteArrayView text) : mText(text) { skip(); }
    bool atEnd() const { return mPos >= mText.size(); }
    char peek() const { return atEnd() ? '\0' : mText[mPos]; }
    void next()
    {
        ++mPos;
        skip();
    }

private:
    void skip()
    {
        while (mPos < mText.size() && (mText[mPos] == ' ' || mText[mPos] == '\t' || mText[mPos] == '\n'))
            ++mPos;
    }
    QByteArrayView mText;
    qsizetype mPos = 0;
};

int digitValue(char c, int radix)
{
    int v = -1;
    if (c >= '0' && c <= '9')
        v = c - '0';
    else if (c >= 'a' && c <= 'f')
        v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
        v = c - 'A' + 10;
    return v < radix ? v : -1;
}

double readRadix(BlankSkippingCursor &cur, int radix)
{
    // Beyond 2^53 the sum is no longer exact, but such values select no song
    // anyway; an absurdly long digit string ends as an infinity.
    double value = 0;
    for (int d; (d = digitValue(cur.peek(), radix)) >= 0; cur.next())
        value = value * radix + d;
    return value;
}

} // namespace

double readNumber(QByteArrayView text)
{
    BlankSkippingCursor cur(text);
    bool negative = false;
    if (cur.peek() == '+' || cur.peek() == '-') {
        negative = cur.peek() == '-';
        cur.next();
    }

    if (cur.peek() == '&') {
        cur.next();
        const char kind = cur.peek();
        double value = 0;
        if (kind == 'H' || kind == 'h') {
            cur.next();
            value = readRadix(cur, 16);
        } else if (kind == 'O' || kind == 'o') {
            cur.next();
            value = readRadix(cur, 8);
        }
        return negative ? -value : value;
    }

    // Gather the decimal number without its blanks, then let the standard
    // library convert it: locale-independent and correctly rounded.
    std::string number;
    if (negative)
        number += '-';
    bool anyDigit = false;
    for (; cur.peek() >= '0' && cur.peek() <= '9'; cur.next()) {
        number += cur.peek();
        anyDigit = true;
    }
    if (cur.peek() == '.') {
        number += '.';
        cur.next();
        for (; cur.peek() >= '0' && cur.peek() <= '9'; cur.next()) {
            number += cur.peek();
            anyDigit = true;
        }
    }
    if (!anyDigit)
        return 0;

    bool negativeExponent = false;
    const char e = cur.peek();
    if (e == 'E' || e == 'e' || e == 'D' || e == 'd') {
        cur.next();
        std::string exponent = "e";
        if (cur.peek() == '+' || cur.peek() == '-') {
            negativeExponent = cur.peek() == '-';
            if (negativeExponent)
                exponent += '-';
            cur.next();
        }
        bool expDigit = false;
        for (; cur.peek() >= '0' && cur.peek() <= '9'; cur.next()) {
            exponent += cur.peek();
            expDigit = true;
        }
        // An exponent mark without digits adds nothing to the number.
        if (expDigit)
            number += exponent;
    }

    double value = 0;
    const char *first = number.data();
    const auto [ptr, ec] = std::from_chars(first, first + number.size(), value);
    (void)ptr;
    if (ec == std::errc::result_out_of_range) {
        if (negativeExponent)
            return negative ? -0.0 : 0.0;
        return negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
    }
    if (ec != std::errc())
        return 0;
    return value;
}

std::optional<qint32> songNumberFromValue(double value)
{
    if (!std::isfinite(value))
        return std::nullopt;
    // Halves go to the even neighbour, whatever rounding mode is in force.
    double whole = std::floor(value);
    const double fraction = value - whole;
    if (fraction > 0.5 || (fraction == 0.5 && std::fmod(whole, 2.0) != 0.0))
        whole += 1.0;
    constexpr double lowest = double(std::numeric_limits<qint32>::min());
    constexpr double highest = double(std::numeric_limits<qint32>::max());
    if (!(whole >= lowest && whole <= highest))
        return std::nullopt;
    return qint32(whole);
}

QString groupedCount(qint64 value)
{
    return QLocale::system().toString(value);
}

} // namespace Wire
