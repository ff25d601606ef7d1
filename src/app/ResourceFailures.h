#pragma once
// What the program does when the system cannot give it what it must have: a
// thread, memory. Left alone, each of these hangs or dies without a word: Qt
// waits for ever on a thread pool whose thread could not be started (the
// window's painting scales images on one), an allocation that fails where
// nothing catches it ends in std::terminate, and one that fails inside Qt
// often ends in a fault. Here each ends the program at once, saying why
// (with the address-space limit, "ulimit -v", when one is set) and with a
// status that is not 0, so that a service manager sees the failure. The
// exit work does not run: the thread that fails need not be the one that
// runs it, and what it would save may be half-changed; the settings file
// stays as it was.
//
// Nothing here waits or processes events; end() may be called from any
// thread.

#include <QString>

namespace ResourceFailures {

// Exit status of a program that could not get a thread or memory.
inline constexpr int kExitStatus = 3;

// Installs the handlers: the end of an exception nobody caught (std::bad_alloc
// is reported as running out of memory; any other goes to the handler that
// was there) and the faults SIGSEGV and SIGBUS (a line on standard error,
// then the signal's own action). Call it first thing in main. Idempotent.
void install();

// True for Qt's message that a thread could not be started.
bool isThreadStartFailure(const QString &qtMessage);

// ", with the address space limited to N KiB (ulimit -v)", or empty.
QString addressSpaceNote();

// Ends the program now: the log entry "Ending: " + why + addressSpaceNote()
// + "; the settings are not saved" on standard output, then kExitStatus.
[[noreturn]] void end(const QString &why);

} // namespace ResourceFailures
