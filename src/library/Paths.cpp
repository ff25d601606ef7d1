#include "library/Paths.h"

#include <QList>

#include <algorithm>

namespace {

constexpr unsigned char foldAscii(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

constexpr bool isUtf8Continuation(unsigned char c)
{
    return (c & 0xC0) == 0x80;
}

// Length of the character starting at i: a lead byte and its continuation
// bytes, or one byte where the name is not valid UTF-8.
qsizetype characterLength(QByteArrayView text, qsizetype i)
{
    const auto lead = static_cast<unsigned char>(text[i]);
    qsizetype n = 1;
    if (lead >= 0xC0) {
        while (i + n < text.size() && n < 4 && isUtf8Continuation(static_cast<unsigned char>(text[i + n])))
            ++n;
    }
    return n;
}

} // namespace

QByteArray AddBackslash(const QByteArray &Path)
{
    if (Path.endsWith(kFolderSeparator))
        return Path;
    QByteArray result = Path;
    result.append(kFolderSeparator);
    return result;
}

std::filesystem::path fsPathFromBytes(const QByteArray &bytes)
{
    return std::filesystem::path(std::string(bytes.constData(), static_cast<size_t>(bytes.size())));
}

QByteArray wireRelativePath(QByteArray relative)
{
    if constexpr (kFolderSeparator != kWireSeparator)
        relative.replace(kFolderSeparator, kWireSeparator);
    return relative;
}

QByteArray asciiLower(QByteArrayView text)
{
    QByteArray result(text.size(), Qt::Uninitialized);
    for (qsizetype i = 0; i < text.size(); ++i)
        result[i] = static_cast<char>(foldAscii(static_cast<unsigned char>(text[i])));
    return result;
}

bool MatchesPattern(QByteArrayView name, QByteArrayView pattern)
{
    if (pattern.isEmpty())
        return false;
    // Greedy match with one backtrack point: the last "*" seen. Linear in
    // practice and never exponential, whatever the pattern.
    qsizetype n = 0, p = 0;
    qsizetype starP = -1, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starN = n;
        } else if (p < pattern.size() && pattern[p] == '?') {
            ++p;
            n += characterLength(name, n);
        } else if (p < pattern.size()
                   && foldAscii(static_cast<unsigned char>(pattern[p]))
                           == foldAscii(static_cast<unsigned char>(name[n]))) {
            ++p;
            ++n;
        } else if (starP >= 0) {
            p = starP + 1;
            starN += characterLength(name, starN);
            n = starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

std::vector<QByteArray> SplitPatterns(const QByteArray &filespec)
{
    std::vector<QByteArray> patterns;
    for (const QByteArray &part : filespec.split(';'))
        patterns.push_back(part);
    return patterns;
}

bool ListingOrderLess(QByteArrayView a, QByteArrayView b)
{
    const qsizetype common = std::min(a.size(), b.size());
    for (qsizetype i = 0; i < common; ++i) {
        const unsigned char ca = foldAscii(static_cast<unsigned char>(a[i]));
        const unsigned char cb = foldAscii(static_cast<unsigned char>(b[i]));
        if (ca != cb)
            return ca < cb;
    }
    if (a.size() != b.size())
        return a.size() < b.size();
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
    });
}
