#pragma once
// Path text as the music library handles it: raw bytes exactly as the file
// system holds them (no decoding, so every name that is listed can also be
// opened), with the platform's folder separator inside the program and the
// backslash only on the wire.
//
// Everything here is pure and never processes events.

#include <QByteArray>
#include <QByteArrayView>
#include <filesystem>
#include <vector>

// The platform's folder separator ("/" on Linux).
inline constexpr char kFolderSeparator = static_cast<char>(std::filesystem::path::preferred_separator);
// The folder separator clients expect in song-list lines and file headers.
inline constexpr char kWireSeparator = '\\';

// Path unchanged when it already ends with the folder separator, otherwise
// Path followed by it; the empty text gives the separator alone.
QByteArray AddBackslash(const QByteArray &Path);

// Raw bytes -> file-system path, without any decoding on POSIX systems.
std::filesystem::path fsPathFromBytes(const QByteArray &bytes);

// A path below the music folder in the clients' form: every platform
// separator becomes a backslash.
QByteArray wireRelativePath(QByteArray relative);

// ASCII letters folded to lower case; other bytes (UTF-8 sequences
// included) are left as they are.
QByteArray asciiLower(QByteArrayView text);

// Wildcard match: "*" stands for any run of characters, "?" for exactly one
// (a whole UTF-8 sequence), ASCII letters match without regard to case.
// An empty pattern matches nothing.
bool MatchesPattern(QByteArrayView name, QByteArrayView pattern);

// "*.mp3;*.wav" -> {"*.mp3", "*.wav"}, in their order, empty parts kept
// (they match nothing).
std::vector<QByteArray> SplitPatterns(const QByteArray &filespec);

// Listing order: names compared without regard to ASCII letter case, ties
// broken by the exact bytes, so the order is total and the same on every
// scan of an unchanged tree.
bool ListingOrderLess(QByteArrayView a, QByteArrayView b);
