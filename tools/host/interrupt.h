// Ctrl-C: the handler only raises a flag; the progress callback answers it with
// a request to stop, so the plug-in ends its call with RC_ABORTED and the host
// cleans up as after any failure.
#ifndef QRV_HOST_INTERRUPT_H
#define QRV_HOST_INTERRUPT_H

namespace qrv::host {

void InstallInterruptHandler();
bool Interrupted();

}  // namespace qrv::host

#endif  // QRV_HOST_INTERRUPT_H
