#include "app/SettingsFile.h"

#include <QFile>
#include <QSaveFile>

namespace {
// A settings file is three short lines; anything past this is not read, so a
// stray huge file in the application folder cannot exhaust memory.
constexpr qint64 kMaxSettingsBytes = 1 << 20;
} // namespace

QByteArray formatSettings(const SettingsFields &fields)
{
    QByteArray out;
    for (const QString *value : {&fields.ip, &fields.port, &fields.musicFolder}) {
        out += value->toUtf8();
        out += "\r\n";
    }
    return out;
}

int parseSettings(const QByteArray &bytes, SettingsFields &fields)
{
    QString *const targets[] = {&fields.ip, &fields.port, &fields.musicFolder};
    QByteArrayView rest(bytes);
    // A byte-order mark left by an editor is not part of the IP address.
    if (rest.startsWith("\xEF\xBB\xBF"))
        rest = rest.sliced(3);

    int assigned = 0;
    while (assigned < 3 && !rest.isEmpty()) {
        qsizetype end = 0;
        while (end < rest.size() && rest[end] != '\r' && rest[end] != '\n')
            ++end;
        *targets[assigned++] = QString::fromUtf8(rest.first(end));
        if (end == rest.size())
            break;
        qsizetype next = end + 1;
        if (rest[end] == '\r' && next < rest.size() && rest[next] == '\n')
            ++next;
        rest = rest.sliced(next);
    }
    return assigned;
}

void LoadSettings(const QString &path, SettingsFields &fields)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QByteArray bytes = file.read(kMaxSettingsBytes);
    parseSettings(bytes, fields);
}

void SaveSettings(const QString &path, const SettingsFields &fields,
                  const std::function<bool()> &beforeCommit)
{
    QSaveFile file(path);
    // Never fall back to writing the old file in place: a failure would then
    // leave it empty or short.
    file.setDirectWriteFallback(false);
    if (!file.open(QIODevice::WriteOnly))
        return;
    const QByteArray bytes = formatSettings(fields);
    if (file.write(bytes) != bytes.size()) {
        file.cancelWriting();
        return;
    }
    if (beforeCommit && !beforeCommit()) {
        file.cancelWriting();
        return;
    }
    file.commit();
}
