#pragma once
// Qt's own messages (warnings, errors) on standard error, one line each and
// never waiting (LineWriter). The ones that tell an operator nothing about
// the server are kept out: the runtime folder Qt picked for itself, the font
// database, the platform plugin's chatter and what the offscreen platform
// cannot do. Errors and fatal messages always pass.

#include <QtGlobal>

class LineWriter;
class QMessageLogContext;
class QString;

// The process's standard error, carrying Qt's messages.
LineWriter &standardError();

// True for a message that is kept out.
bool isQtNoise(QtMsgType type, const QMessageLogContext &context, const QString &message);

// Routes Qt's messages as above; call it before the application object
// exists, since some of the noise comes from its construction.
void installQtMessageFilter();
