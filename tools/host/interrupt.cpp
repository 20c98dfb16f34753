#include "interrupt.h"

#include <atomic>

#if defined(_WIN32)
#include <windows.h>
#else
#include <signal.h>
#endif

namespace qrv::host {
namespace {

// The first signal that arrived, 0 for none. Lock-free, so the signal handler
// may set it.
std::atomic<int> gSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);

constexpr int kSigHup = 1;
constexpr int kSigInt = 2;
constexpr int kSigTerm = 15;

void Record(int number) {
  int none = 0;
  gSignal.compare_exchange_strong(none, number);
}

#if defined(_WIN32)
BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  Record(kSigInt);
  return TRUE;
}
#else
void OnSignal(int number) { Record(number); }
#endif

}  // namespace

void InstallInterruptHandler() {
#if defined(_WIN32)
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
#else
  static_assert(SIGHUP == kSigHup && SIGINT == kSigInt && SIGTERM == kSigTerm);
  struct sigaction action = {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  for (int number : {SIGINT, SIGTERM, SIGHUP}) {
    // A signal the parent chose to ignore (nohup, a background job) stays ignored.
    struct sigaction previous = {};
    if (sigaction(number, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
    sigaction(number, &action, nullptr);
  }
  signal(SIGXFSZ, SIG_IGN);
#endif
}

bool Interrupted() { return gSignal.load() != 0; }

int InterruptExitStatus() { return 128 + gSignal.load(); }

std::string InterruptReason() {
  switch (gSignal.load()) {
    case kSigHup:
      return "interrupted: the terminal was closed (SIGHUP)";
    case kSigTerm:
      return "interrupted: asked to terminate (SIGTERM)";
    default:
      return "interrupted";
  }
}

}  // namespace qrv::host
