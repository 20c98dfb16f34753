#include "interrupt.h"

#include <atomic>

#if defined(_WIN32)
#include <windows.h>
#else
#include <signal.h>
#endif

namespace qrv::host {
namespace {

// Lock-free, so the signal handler may set it.
std::atomic<bool> gInterrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

#if defined(_WIN32)
BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  gInterrupted.store(true);
  return TRUE;
}
#else
void OnSignal(int) { gInterrupted.store(true); }
#endif

}  // namespace

void InstallInterruptHandler() {
#if defined(_WIN32)
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
#else
  struct sigaction action = {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
#endif
}

bool Interrupted() { return gInterrupted.load(); }

}  // namespace qrv::host
