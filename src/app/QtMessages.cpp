#include "app/QtMessages.h"

#include "app/LineWriter.h"
#include "app/OperatorLog.h"
#include "app/ResourceFailures.h"

#include <QString>

namespace {
void writeQtMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (!isQtNoise(type, context, message))
        standardError().write(stdoutLogLine(qFormatLogMessage(type, context, message)));
    // Whoever started the thread may wait for it for ever (Qt's thread
    // pools do).
    if (ResourceFailures::isThreadStartFailure(message)) {
        const qsizetype reason = message.indexOf(u'(');
        ResourceFailures::end(QStringLiteral("a thread could not be started")
                              + (reason < 0 ? QString() : u' ' + message.mid(reason)));
    }
}
} // namespace

LineWriter &standardError()
{
    static LineWriter writer(2, [](qint64 dropped, bool) {
        return stdoutLogLine(
                QStringLiteral("(%1 messages dropped: standard error was not accepting them)").arg(dropped));
    });
    return writer;
}

bool isQtNoise(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtCriticalMsg || type == QtFatalMsg)
        return false;
    const QLatin1String category(context.category ? context.category : "");
    if (category.startsWith(QLatin1String("qt.qpa.")) || category.startsWith(QLatin1String("qt.text.font.")))
        return true;
    for (const char *prefix : {"QStandardPaths: ", "QFontDatabase: ", "This plugin does not support "}) {
        if (message.startsWith(QLatin1String(prefix)))
            return true;
    }
    return false;
}

void installQtMessageFilter()
{
    qInstallMessageHandler(writeQtMessage);
}
