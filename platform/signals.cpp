#include "platform/signals.h"

#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <cerrno>

namespace {

struct SignalMeaning {
  int signal;
  SignalEvent event;
};

// The signals the main loop takes. SIGPIPE is blocked as well but never waited
// for: a write to a closed socket reports EPIPE instead of ending the process.
constexpr SignalMeaning kServerSignals[] = {
    {SIGTERM, SignalEvent::kShutdown},
    {SIGINT, SignalEvent::kShutdown},
    {SIGUSR1, SignalEvent::kBroughtForward},
    {SIGHUP, SignalEvent::kReopenLog},
};

sigset_t WaitedSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (const SignalMeaning& s : kServerSignals) sigaddset(&set, s.signal);
  return set;
}

}  // namespace

void BlockServerSignals() {
  sigset_t set = WaitedSignals();
  sigaddset(&set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

SignalEvent WaitServerSignal(uint32_t timeoutMs) {
  sigset_t set = WaitedSignals();
  int sig;
  if (timeoutMs == 0xFFFFFFFFu) {
    sig = sigwaitinfo(&set, nullptr);
  } else {
    timespec ts{time_t(timeoutMs / 1000), long(timeoutMs % 1000) * 1000000L};
    sig = sigtimedwait(&set, nullptr, &ts);
  }
  if (sig < 0) return SignalEvent::kNone;  // time-out or EINTR
  for (const SignalMeaning& s : kServerSignals)
    if (s.signal == sig) return s.event;
  return SignalEvent::kNone;
}
