#pragma once
// Reading the number at the start of an operator's or a table's text.

#include <QStringView>
#include <optional>

// The longest leading decimal number of text: optional blanks or tabs, an
// optional sign, ASCII digits. Empty when no digit follows. Magnitudes beyond
// 10^9 saturate there: far beyond any port or line the callers accept.
inline std::optional<qint64> leadingDecimal(QStringView text)
{
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n && (text[i] == u' ' || text[i] == u'\t'))
        ++i;
    bool negative = false;
    if (i < n && (text[i] == u'-' || text[i] == u'+'))
        negative = text[i++] == u'-';
    if (i >= n || text[i] < u'0' || text[i] > u'9')
        return std::nullopt;
    qint64 value = 0;
    for (; i < n && text[i] >= u'0' && text[i] <= u'9'; ++i)
        value = qMin<qint64>(value * 10 + (text[i].unicode() - u'0'), 1'000'000'000);
    return negative ? -value : value;
}
