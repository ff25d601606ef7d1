#pragma once
// The settings file vorlune.ini: the three settings fields (IP address, port,
// music folder), one per line, each ended by CR LF, UTF-8. A value's line
// number is its only identification; values are kept verbatim (no trimming,
// quoting or validation).
//
// The file is read once at start-up and written once at exit. A missing or
// damaged file simply leaves the fields as they were. Settings are never
// destroyed by the program: only a field changed in the program since the
// file was read gets its line written; every other line is copied byte for
// byte from the file as it stands at that moment (an operator's edit made
// meanwhile survives, and so does a line the program could not read
// exactly: not valid UTF-8, or longer than kMaxSettingsLineBytes). A write
// goes to a temporary file that replaces the old one only once every write
// and flush of it has succeeded; a write that fails says why.
//
// Nothing here waits or processes events.

#include "app/Server.h"

#include <QByteArray>
#include <QString>
#include <functional>

class QIODevice;

inline constexpr char kSettingsFileName[] = "vorlune.ini";

// How much of a line is read into its field. A longer line is not held: its
// field gets the start, and a save copies it from the file it came from.
inline constexpr qsizetype kMaxSettingsLineBytes = 64 * 1024;
// The file is read in pieces of this size, whatever its lines.
inline constexpr qsizetype kSettingsReadPiece = 64 * 1024;

// Assigns the fields line by line, in file order, for as many lines as the
// device holds (at most three; later lines are not read). CR LF, a lone CR
// and a lone LF each end a line; text after the last line end is a line of
// its own. A line not read exactly gets a kept line. Returns the number of
// fields assigned.
int readSettings(QIODevice &device, SettingsFields &fields);
int parseSettings(const QByteArray &bytes, SettingsFields &fields);

// Reads the file at path into fields; a missing or unreadable file changes
// nothing, a short one only the fields it holds. Either way the fields'
// texts are then recorded as read (SettingsFields::asRead).
void LoadSettings(const QString &path, SettingsFields &fields);

// Writes fields to path atomically: either the whole new file replaces the
// old one, or the old one stays as it was and whyNot (when given) says what
// failed. A field not changed since it was read keeps the line path holds
// now; where path has no such line, the field's text (or its kept line) is
// written. beforeCommit, when given, runs once all bytes are written and
// before the old file is replaced; returning false abandons the write as a
// crash at that point would (a test uses it to stand in for one).
bool SaveSettings(const QString &path, const SettingsFields &fields, QString *whyNot = nullptr,
                  const std::function<bool()> &beforeCommit = {});
