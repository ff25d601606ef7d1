#include "app/web/WebToken.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryFile>

#include <algorithm>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {
constexpr int kTokenBytes = 32;
constexpr qsizetype kMinTokenLength = 22;
constexpr qsizetype kMaxTokenLength = 256;
// More than any token file holds; a larger file is not read whole.
constexpr qint64 kTokenFileReadLimit = 1024;

bool isBase64UrlChar(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'
            || c == '_';
}

QByteArrayView withoutLineBreak(QByteArrayView text)
{
    if (text.endsWith("\r\n"))
        return text.chopped(2);
    if (text.endsWith('\n'))
        return text.chopped(1);
    return text;
}

constexpr QFileDevice::Permissions kOwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
constexpr QFileDevice::Permissions kOthers = QFileDevice::ReadGroup | QFileDevice::WriteGroup
        | QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther;

// Written under a temporary name (created 0600) and renamed into place, so
// the file is never seen half written or readable by others; the rename
// does not replace a file that appeared meanwhile (another start won).
bool createTokenFile(const QString &path, const QByteArray &token, QString &error)
{
    const QFileInfo info(path);
    if (!QDir().mkpath(info.absolutePath())) {
        error = QStringLiteral("cannot create the folder ") + info.absolutePath();
        return false;
    }
    QTemporaryFile file(info.absoluteFilePath() + QStringLiteral(".XXXXXX"));
    if (!file.open() || !file.setPermissions(kOwnerOnly)) {
        error = file.errorString();
        return false;
    }
    const QByteArray text = token + '\n';
    bool written = file.write(text) == text.size() && file.flush();
#ifdef Q_OS_UNIX
    written = written && ::fsync(file.handle()) == 0;
#endif
    if (!written) {
        error = file.errorString();
        return false;
    }
    if (!file.rename(info.absoluteFilePath())) {
        error = file.errorString();
        return false;
    }
    file.setAutoRemove(false);
    return true;
}
} // namespace

QByteArray newWebToken()
{
    quint32 words[kTokenBytes / 4];
    QRandomGenerator::system()->fillRange(words);
    return QByteArray(reinterpret_cast<const char *>(words), kTokenBytes)
            .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

bool isWebToken(QByteArrayView text)
{
    const QByteArrayView token = withoutLineBreak(text);
    if (token.size() < kMinTokenLength || token.size() > kMaxTokenLength)
        return false;
    return std::all_of(token.begin(), token.end(), isBase64UrlChar);
}

bool webTokenMatches(QByteArrayView given, QByteArrayView expected)
{
    // Every byte of the expected token is looked at, whatever was given.
    unsigned difference = given.size() == expected.size() ? 0u : 1u;
    for (qsizetype i = 0; i < expected.size(); ++i) {
        const char g = i < given.size() ? given[i] : '\0';
        difference |= unsigned(static_cast<unsigned char>(g ^ expected[i]));
    }
    return difference == 0 && !expected.isEmpty();
}

QString defaultWebTokenFile(const QString &settingsFile)
{
    return QFileInfo(settingsFile).absoluteDir().filePath(QStringLiteral("vorlune-web.token"));
}

WebTokenFile loadOrCreateWebToken(const QString &path)
{
    WebTokenFile result;
    QFile file(path);
    if (file.exists()) {
        if (!file.open(QIODevice::ReadOnly)) {
            result.error = file.errorString();
            return result;
        }
        const QByteArray text = file.read(kTokenFileReadLimit);
        file.close();
        if (!text.trimmed().isEmpty()) {
            if (!isWebToken(text)) {
                result.error = QStringLiteral("it holds no token (22 to 256 characters of A-Z a-z 0-9 - _)");
                return result;
            }
            if (file.permissions() & kOthers) {
                if (!file.setPermissions(kOwnerOnly)) {
                    result.error = QStringLiteral("others may read it, and it cannot be made private: ")
                            + file.errorString();
                    return result;
                }
                result.tightened = true;
            }
            result.token = withoutLineBreak(text).toByteArray();
            return result;
        }
        // Empty: a first start that ended before its token was written.
        if (!file.remove()) {
            result.error = file.errorString();
            return result;
        }
    }
    const QByteArray token = newWebToken();
    if (!createTokenFile(path, token, result.error)) {
        // Another start may have created it meanwhile: that token is ours too.
        QFile other(path);
        if (other.open(QIODevice::ReadOnly)) {
            const QByteArray text = other.read(kTokenFileReadLimit);
            if (isWebToken(text)) {
                result.error.clear();
                result.token = withoutLineBreak(text).toByteArray();
            }
        }
        return result;
    }
    result.token = token;
    result.created = true;
    return result;
}
