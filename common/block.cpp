// Moveable blocks for results the host receives, and the plug-ins'
// identification strings.
#include "plugin.h"

namespace qrv {

namespace {

int32_t AllocLockedBlock(uint32_t size, BlockFill fill, BlockHandle* handle,
                         void** address) {
  *handle = platform::AllocBlock(size, fill);
  if (*handle == nullptr) {
    *address = nullptr;
    return RC_NO_MEMORY;
  }
  *address = platform::LockBlock(*handle);
  if (*address == nullptr) {
    platform::FreeBlock(*handle);
    *handle = nullptr;
    return RC_MEMORY_ERROR;
  }
  return RC_OK;
}

}  // namespace

int32_t AllocBlock(uint32_t size, BlockHandle* handle, void** address) {
  return AllocLockedBlock(size, BlockFill::kZeroed, handle, address);
}

int32_t AllocUnclearedBlock(uint32_t size, BlockHandle* handle, void** address) {
  return AllocLockedBlock(size, BlockFill::kUncleared, handle, address);
}

void ReleaseBlock(BlockHandle handle, void* address) {
  if (handle == nullptr) return;
  platform::UnlockBlock(handle);
  if (address != nullptr) platform::FreeBlock(handle);
}

int32_t CopyInfoString(const char* const* table, int32_t infono, char* buf, int32_t buflen) {
  // No room even for the terminator: answer 0 and leave buf alone.
  if (buflen < 1 || buf == nullptr || infono < 0) return 0;
  const char* entry = nullptr;
  for (int32_t i = 0; table[i] != nullptr; ++i) {
    if (i == infono) {
      entry = table[i];
      break;
    }
  }
  if (entry == nullptr) return 0;
  // strncpy semantics over the first buflen - 1 bytes, then a terminator.
  int32_t length = 0;
  while (length < buflen - 1 && entry[length] != '\0') {
    buf[length] = entry[length];
    ++length;
  }
  for (int32_t i = length; i < buflen - 1; ++i) buf[i] = '\0';
  buf[buflen - 1] = '\0';
  return length;
}

}  // namespace qrv
