#include "app/OperatorLog.h"

#include "app/LineWriter.h"

#include <new>

namespace {
// Outside a service manager the line carries its own time; the journal
// stamps what it receives itself.
QDateTime stdoutStamp()
{
    static const bool journal = qEnvironmentVariableIsSet("JOURNAL_STREAM");
    return journal ? QDateTime() : QDateTime::currentDateTime();
}

// A code point as it goes to standard output: UTF-8, with the controls
// escaped. Returns the number of bytes put into out (at most 8).
int shownForm(char32_t cp, char *out)
{
    static const char hex[] = "0123456789abcdef";
    const auto escaped = [&](std::initializer_list<unsigned char> bytes) {
        int n = 0;
        for (const unsigned char u : bytes) {
            out[n++] = '\\', out[n++] = 'x', out[n++] = hex[u >> 4], out[n++] = hex[u & 0xf];
        }
        return n;
    };
    if (cp == U'\r' || cp == U'\n') {
        out[0] = '\\', out[1] = cp == U'\r' ? 'r' : 'n';
        return 2;
    }
    if (cp < 0x20 || cp == 0x7f)
        return escaped({static_cast<unsigned char>(cp)});
    // U+0080..U+009F: terminals in UTF-8 mode obey these as C1 controls
    // (U+009B is a CSI), so they are escaped too.
    if (cp >= 0x80 && cp <= 0x9f)
        return escaped({0xc2, static_cast<unsigned char>(cp)});
    if (cp < 0x80) {
        out[0] = char(cp);
        return 1;
    }
    const int size = cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    static constexpr unsigned char lead[] = {0, 0, 0xc0, 0xe0, 0xf0};
    for (int i = size - 1; i > 0; --i, cp >>= 6)
        out[i] = char(0x80 | (cp & 0x3f));
    out[0] = char(lead[size] | cp);
    return size;
}

// The next code point of text at i; n: how many UTF-16 units it takes.
char32_t codePointAt(QStringView text, qsizetype i, qsizetype &n)
{
    const QChar c = text[i];
    n = 1;
    if (c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
        n = 2;
        return QChar::surrogateToUcs4(c, text[i + 1]);
    }
    return c.isSurrogate() ? char32_t(0xfffd) : char32_t(c.unicode());
}

qint64 utf8Length(QStringView text)
{
    qint64 bytes = 0;
    for (qsizetype i = 0, n = 1; i < text.size(); i += n) {
        const char32_t cp = codePointAt(text, i, n);
        bytes += cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    }
    return bytes;
}
} // namespace

QByteArray stdoutLogLine(const QString &msg, const QDateTime &stamp)
{
    // Line breaks that end an entry are the pane's layout: the line ends anyway.
    QStringView entry(msg);
    while (!entry.isEmpty() && (entry.back() == u'\r' || entry.back() == u'\n'))
        entry.chop(1);
    QByteArray out;
    out.reserve(std::min<qsizetype>(entry.size(), kMaxStdoutEntryBytes) + 64);
    if (stamp.isValid())
        out += stamp.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss ")).toLatin1();
    const qsizetype textStart = out.size();
    char shown[8];
    for (qsizetype i = 0, n = 1; i < entry.size(); i += n) {
        const int size = shownForm(codePointAt(entry, i, n), shown);
        if (out.size() - textStart + size > kMaxStdoutEntryBytes) {
            // Looked at no further than this: an entry costs standard output
            // (and the time to write it) no more than its shown part.
            const qint64 leftOut = utf8Length(entry.sliced(i));
            out += " [... " + QByteArray::number(leftOut) + (leftOut == 1 ? " byte" : " bytes")
                    + " left out]";
            break;
        }
        out.append(shown, size);
    }
    out += '\n';
    return out;
}

QByteArray stdoutLogEntry(const QString &msg)
{
    return stdoutLogLine(msg, stdoutStamp());
}

LineWriter &standardOutput()
{
    static LineWriter writer(1, [](qint64 dropped, bool overRate) {
        return stdoutLogLine(
                overRate ? QStringLiteral("(%1 log lines dropped: more than %2 KiB of log a second)")
                                   .arg(dropped)
                                   .arg(kStdoutBytesPerSecond / 1024)
                         : QStringLiteral("(%1 log lines dropped: standard output was not "
                                          "accepting them)")
                                   .arg(dropped),
                stdoutStamp());
    });
    static const bool limited = [] {
        writer.setRateLimit(kStdoutBytesPerSecond, kStdoutBurstBytes);
        return true;
    }();
    Q_UNUSED(limited);
    return writer;
}

void MessagePane::append(const QString &text)
{
    mText += text;
    emit appended(text);
}

void MessagePane::clear()
{
    mText.clear();
    emit cleared();
}

void MessagePane::setPurgedLabelVisible(bool visible)
{
    if (mPurged == visible)
        return;
    mPurged = visible;
    emit purgedLabelChanged(visible);
}

OperatorLog::OperatorLog(QObject *parent) : QObject(parent)
{
}

void OperatorLog::AddLog(const QString &msg)
{
    try {
        if (logPurgeNeeded(mLogPane.text().size())) {
            mLogPane.setPurgedLabelVisible(true);
            mLogPane.clear();
        }
        mLogPane.append(msg + QStringLiteral("\r\n"));
    } catch (const std::bad_alloc &) {
        // Out of memory: drop the earlier log to make room for this entry.
        // A failure of this recovery itself goes to the caller.
        mLogPane.clear();
        mLogPane.append(msg + QStringLiteral("\r\n"));
        mLogPane.setPurgedLabelVisible(true);
    }
    if (mEcho) {
        try {
            standardOutput().write(stdoutLogEntry(msg));
        } catch (const std::bad_alloc &) {
            // The echo is a copy of the pane; losing one line of it is the
            // lesser harm.
        }
    }
}

void OperatorLog::AddIncoming(const QString &text)
{
    try {
        if (incomingPurgeNeeded(mIncomingPane.text().size(), text.size()))
            mIncomingPane.clear();
        mIncomingPane.append(text);
    } catch (const std::bad_alloc &) {
        mIncomingPane.clear();
        mIncomingPane.append(text);
        mIncomingPane.setPurgedLabelVisible(true);
    }
}

void OperatorLog::cmdClear_Click(int index)
{
    MessagePane *pane = index == 0 ? &mIncomingPane : index == 2 ? &mLogPane : nullptr;
    if (!pane)
        return;
    pane->clear();
    pane->setPurgedLabelVisible(false);
}
