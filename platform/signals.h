// Signals: SIGTERM and SIGINT are the orderly "Shutdown" command; SIGUSR1 means a
// second copy asked this one to come forward; SIGHUP asks for the log file to be
// closed and opened again (after logrotate moved it away), as other daemons do.
// The signals are blocked in every thread and taken by the main thread's loop, so
// no handler runs at a bad moment.
#pragma once

#include <cstdint>

enum class SignalEvent { kNone, kShutdown, kBroughtForward, kReopenLog };

// Blocks SIGTERM, SIGINT, SIGUSR1, SIGHUP and SIGPIPE in the calling thread; call before
// any thread is created so every thread inherits the mask.
void BlockServerSignals();

// Waits up to `timeoutMs` for one of the blocked signals.
SignalEvent WaitServerSignal(uint32_t timeoutMs);
