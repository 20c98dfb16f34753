// Input streams over the three kinds of source the host can name (a file with a
// byte offset, a memory block, the detection head), exact reads, and closing
// with the failure folded into the call's result.
#include <string.h>

#include "plugin.h"

namespace qrv {

int32_t OpenSource(StreamHandle* stream, char* src, int32_t len, uint32_t flag) {
  switch (flag & QRV_INPUT_MASK) {
    case QRV_INPUT_MEMORY:
      // A negative length would let a memory stream read past the block.
      *stream = len >= 0 ? platform::OpenMemory(src, len) : nullptr;
      return *stream != nullptr ? RC_OK : RC_MEMORY_ERROR;
    case QRV_INPUT_FILE:
      *stream = platform::OpenFileRead(src);
      if (*stream == nullptr) return RC_READ_ERROR;
      if (len != 0 && platform::Seek(*stream, len, kSeekStart) == -1) {
        (void)platform::Close(*stream);  // already failing: its answer does not matter
        *stream = nullptr;
        return RC_READ_ERROR;
      }
      return RC_OK;
    default:
      return RC_INTERNAL_ERROR;
  }
}

int32_t OpenProbe(StreamHandle* stream, const char*, ProbeValue dw) {
  if ((dw >> 16) != 0) {
    *stream = platform::OpenMemory(reinterpret_cast<char*>(dw), QRV_HEAD_SIZE);
    return *stream != nullptr ? RC_OK : RC_MEMORY_ERROR;
  }
  *stream = platform::OpenMemory(nullptr, QRV_HEAD_SIZE);
  if (*stream == nullptr) return RC_MEMORY_ERROR;

  int32_t rc = RC_OK;
  char* block = nullptr;
  int32_t length = 0;
  uint32_t got = 0;
  if (platform::GetBuffer(*stream, &block, &length) != 0 || length < 0) rc = RC_READ_ERROR;
  if (rc == RC_OK) {
    memset(block, 0, static_cast<size_t>(length));
    if (platform::ReadProbe(dw, block, static_cast<uint32_t>(length), &got) != 0) {
      rc = RC_READ_ERROR;
    }
  }
  // Give the host its handle back where it stood.
  if (rc == RC_OK && platform::MoveProbe(dw, -static_cast<int32_t>(got)) != 0) {
    rc = RC_READ_ERROR;
  }
  if (rc != RC_OK) {
    (void)platform::Close(*stream);
    *stream = nullptr;
  }
  return rc;
}

int32_t ReadExact(StreamHandle stream, void* destination, uint32_t count) {
  if (count == 0) return RC_OK;
  if (count > INT32_MAX) return RC_READ_ERROR;  // no single stream read can be that long
  int32_t got = platform::Read(stream, destination, static_cast<int32_t>(count));
  return got == static_cast<int32_t>(count) ? RC_OK : RC_READ_ERROR;
}

void CloseSource(StreamHandle stream, int32_t* rc) {
  bool closed = stream != nullptr && platform::Close(stream) == 0;
  if (!closed && *rc == RC_OK) *rc = RC_READ_ERROR;
}

int32_t QRV_CALL DefaultProgress(int32_t, int32_t, QrvUser) { return 0; }

}  // namespace qrv
