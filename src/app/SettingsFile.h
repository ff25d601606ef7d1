#pragma once
// The settings file vorlune.ini: the three settings fields (IP address, port,
// music folder), one per line, each ended by CR LF, UTF-8. A value's line
// number is its only identification; values are kept verbatim (no trimming,
// quoting or validation).
//
// The file is read once at start-up and written once at exit. Neither
// routine reports anything: a missing or damaged file simply leaves the
// fields as they were, and a failed write leaves the previous file whole
// (the write goes to a temporary file that replaces the old one only once
// it is complete).
//
// Nothing here waits or processes events.

#include "app/Server.h"

#include <QByteArray>
#include <QString>
#include <functional>

inline constexpr char kSettingsFileName[] = "vorlune.ini";

// The file's bytes for the three fields.
QByteArray formatSettings(const SettingsFields &fields);

// Assigns the fields line by line, in file order, for as many lines as the
// text holds (at most three; later lines are ignored). CR LF, a lone CR and a
// lone LF each end a line; text after the last line end is a line of its own.
// Returns the number of fields assigned.
int parseSettings(const QByteArray &bytes, SettingsFields &fields);

// Reads the file at path into fields; a missing or unreadable file changes
// nothing, a short one only the fields it holds.
void LoadSettings(const QString &path, SettingsFields &fields);

// Writes fields to path atomically; failures are silent and leave any
// previous file unchanged. beforeCommit, when given, runs once all bytes are
// written and before the old file is replaced; returning false abandons the
// write as a crash at that point would (a test uses it to stand in for one).
void SaveSettings(const QString &path, const SettingsFields &fields,
                  const std::function<bool()> &beforeCommit = {});
