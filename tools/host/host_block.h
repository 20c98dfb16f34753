// A block a plug-in handed over: the host owns it and must free it. This is the
// one place that knows what a block handle is on each build (an HLOCAL on
// Windows, heap memory whose handle is its address elsewhere).
#ifndef QRV_HOST_HOST_BLOCK_H
#define QRV_HOST_HOST_BLOCK_H

#include <cstddef>
#include <cstdint>

#include "qrvnel.h"

namespace qrv::host {

// Owns one handed-over block: locks it for reading and frees it on destruction.
class HostBlock {
 public:
  HostBlock() = default;
  explicit HostBlock(QrvBlock handle) : handle_(handle) {}
  ~HostBlock() { Reset(); }
  HostBlock(const HostBlock&) = delete;
  HostBlock& operator=(const HostBlock&) = delete;

  // Takes a block that a plug-in stored in an out-parameter; frees any earlier one.
  void Adopt(QrvBlock handle);
  // Unlocks (when locked) and frees the block.
  void Reset();

  bool empty() const { return handle_ == nullptr; }
  // The block's bytes, locked until Reset; null when there is no block or it
  // cannot be locked.
  const uint8_t* Lock();
  // The block's size in bytes when the platform can tell (Windows), else 0.
  size_t KnownSize() const;

 private:
  QrvBlock handle_ = nullptr;
  const uint8_t* locked_ = nullptr;
};

}  // namespace qrv::host

#endif  // QRV_HOST_HOST_BLOCK_H
