#include "host_block.h"

#include <cstdlib>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace qrv::host {

void HostBlock::Adopt(QrvBlock handle) {
  Reset();
  handle_ = handle;
}

#if defined(_WIN32)

const uint8_t* HostBlock::Lock() {
  if (handle_ != nullptr && locked_ == nullptr) {
    locked_ = static_cast<const uint8_t*>(LocalLock(static_cast<HLOCAL>(handle_)));
  }
  return locked_;
}

size_t HostBlock::KnownSize() const {
  return handle_ != nullptr ? LocalSize(static_cast<HLOCAL>(handle_)) : 0;
}

void HostBlock::Reset() {
  if (handle_ != nullptr) {
    if (locked_ != nullptr) LocalUnlock(static_cast<HLOCAL>(handle_));
    LocalFree(static_cast<HLOCAL>(handle_));
  }
  handle_ = nullptr;
  locked_ = nullptr;
}

#else

// The handle is the address of heap memory: nothing to lock.
const uint8_t* HostBlock::Lock() {
  locked_ = static_cast<const uint8_t*>(handle_);
  return locked_;
}

size_t HostBlock::KnownSize() const { return 0; }

void HostBlock::Reset() {
  std::free(handle_);
  handle_ = nullptr;
  locked_ = nullptr;
}

#endif

}  // namespace qrv::host
