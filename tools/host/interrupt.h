// Ctrl-C, SIGTERM and a closed terminal (SIGHUP): the handler only records the
// signal; the progress callback answers it with a request to stop, so the
// plug-in ends its call with RC_ABORTED and the host cleans up as after any
// failure, then exits with 128 + the signal's number as shells expect.
// SIGXFSZ is ignored, so that a write past a file-size limit fails with
// "File too large" and the cleanup runs instead of the process dying.
#ifndef QRV_HOST_INTERRUPT_H
#define QRV_HOST_INTERRUPT_H

#include <string>

namespace qrv::host {

void InstallInterruptHandler();
bool Interrupted();
// After an interruption: the exit status (129 SIGHUP, 130 SIGINT, 143 SIGTERM)
// and the words for the message.
int InterruptExitStatus();
std::string InterruptReason();

}  // namespace qrv::host

#endif  // QRV_HOST_INTERRUPT_H
