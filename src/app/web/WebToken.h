#pragma once
// The operator's token for the browser page: 256 random bits from the
// system's generator, written as base64url (43 characters) so that it can
// stand in an address's fragment as it is. It lives in a file of its own,
// readable by its owner alone, and is kept across restarts, so a bookmarked
// address keeps working.
//
// Nothing here waits or processes events.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// A new token.
QByteArray newWebToken();

// Whether a token file's text is a token: 22 to 256 characters of the
// base64url alphabet (22 carry at least 128 bits), nothing else but one
// trailing line break.
bool isWebToken(QByteArrayView text);

// Compares in time that depends on the lengths only, never on where the
// first difference is, so the time of a refusal tells nothing of the token.
bool webTokenMatches(QByteArrayView given, QByteArrayView expected);

// Where the token lives when no file is named: beside the settings file.
QString defaultWebTokenFile(const QString &settingsFile);

struct WebTokenFile {
    QByteArray token; // empty when none could be had: error says why
    QString error;
    bool created = false;
    bool tightened = false; // the file could be read by others; now it cannot
};

// Reads the token from path, or creates the file (mode 0600, its folder
// made where missing) with a new token when there is none or it is empty.
// A file with other text is never overwritten: the operator may have put
// it there, so it is an error instead.
WebTokenFile loadOrCreateWebToken(const QString &path);
