// The platform operations over POSIX files and heap memory, with the answers of
// the Windows calls they replace (see platform_ops.inc). File streams are
// buffered like mmio's, so a 4-byte read is a copy, not a system call; reads
// and writes larger than the buffer go straight to the file.
//
// A path is opened exactly as given: on Linux a backslash is an ordinary
// character of a file name. Blocks for the host are heap memory whose handle
// is its address; locking is the identity and the host frees a block with
// free().
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "platform.h"

#ifndef QRV_PLATFORM_NS
#define QRV_PLATFORM_NS platform
#endif

namespace qrv {

// Huge pages are asked for inside blocks from this size on: first touches of
// fresh 4 KiB pages, not the decoding, otherwise bound the time of a large
// picture or extraction.
constexpr size_t kHugePage = size_t{2} << 20;

// A file stream's buffer. mmio uses 8 KiB; a larger one costs nothing here and
// halves the system calls of a sequential decode.
constexpr int32_t kFileBufferSize = 64 * 1024;

enum class StreamKind { kFileRead, kFileWrite, kMemory };

// One open stream. For a file, `buffer` holds bytes [bufferStart, bufferStart +
// filled) of the file and the position is bufferStart + cursor (reading), or
// the bytes not yet written from bufferStart on (writing, cursor == filled).
// For memory, `buffer` is the block and `filled` its length.
struct Stream {
  StreamKind kind;
  int fd;
  uint8_t* buffer;
  bool ownsBuffer;
  int64_t bufferStart;
  int32_t filled;
  int32_t cursor;
};

namespace {

// read() until `count` bytes came or the file ended: the count read, or -1 when
// the first read fails.
int64_t ReadFully(int fd, uint8_t* destination, int64_t count) {
  int64_t total = 0;
  while (total < count) {
    ssize_t got = read(fd, destination + total, static_cast<size_t>(count - total));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return total > 0 ? total : -1;
    if (got == 0) break;
    total += got;
  }
  return total;
}

bool WriteFully(int fd, const uint8_t* source, int64_t count) {
  int64_t total = 0;
  while (total < count) {
    ssize_t put = write(fd, source + total, static_cast<size_t>(count - total));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    total += put;
  }
  return true;
}

Stream* NewStream(StreamKind kind, int fd, uint8_t* buffer, bool owns) {
  auto* stream = static_cast<Stream*>(calloc(1, sizeof(Stream)));
  if (stream == nullptr) return nullptr;
  stream->kind = kind;
  stream->fd = fd;
  stream->buffer = buffer;
  stream->ownsBuffer = owns;
  return stream;
}

StreamHandle OpenFile(const char* path, int flags, StreamKind kind) {
  if (path == nullptr) return nullptr;
  int fd = open(path, flags | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  auto* buffer = static_cast<uint8_t*>(malloc(kFileBufferSize));
  Stream* stream = buffer != nullptr ? NewStream(kind, fd, buffer, true) : nullptr;
  if (stream == nullptr) {
    free(buffer);
    close(fd);
  }
  return stream;
}

// Writes out what a write stream holds; false on a failed write.
bool FlushWrite(Stream* stream) {
  bool ok = WriteFully(stream->fd, stream->buffer, stream->filled);
  stream->bufferStart += stream->filled;
  stream->filled = 0;
  stream->cursor = 0;
  return ok;
}

// Loads the file's next buffer after the current one; false when the read fails.
bool RefillFileBuffer(Stream* stream) {
  stream->bufferStart += stream->filled;
  stream->filled = 0;
  stream->cursor = 0;
  int64_t got = ReadFully(stream->fd, stream->buffer, kFileBufferSize);
  if (got < 0) return false;
  stream->filled = static_cast<int32_t>(got);
  return true;
}

int64_t Position(const Stream* stream) { return stream->bufferStart + stream->cursor; }

}  // namespace

namespace QRV_PLATFORM_NS {

#include "platform_ops.inc"

StreamHandle OpenFileRead(const char* path) {
  return OpenFile(path, O_RDONLY, StreamKind::kFileRead);
}

StreamHandle CreateFileWrite(const char* path) {
  return OpenFile(path, O_WRONLY | O_CREAT | O_TRUNC, StreamKind::kFileWrite);
}

StreamHandle OpenMemory(char* address, int32_t length) {
  if (length < 0) return nullptr;
  auto* block = reinterpret_cast<uint8_t*>(address);
  bool owns = block == nullptr;
  if (owns) block = static_cast<uint8_t*>(calloc(length > 0 ? length : 1, 1));
  if (block == nullptr) return nullptr;
  Stream* stream = NewStream(StreamKind::kMemory, -1, block, owns);
  if (stream == nullptr) {
    if (owns) free(block);
    return nullptr;
  }
  stream->filled = length;
  return stream;
}

int32_t Read(StreamHandle stream, void* destination, int32_t count) {
  if (count < 0 || stream->kind == StreamKind::kFileWrite) return -1;
  auto* out = static_cast<uint8_t*>(destination);
  int32_t total = 0;
  while (total < count) {
    int32_t available = stream->filled - stream->cursor;
    if (available > 0) {
      int32_t take = available < count - total ? available : count - total;
      memcpy(out + total, stream->buffer + stream->cursor, static_cast<size_t>(take));
      stream->cursor += take;
      total += take;
      continue;
    }
    if (stream->kind == StreamKind::kMemory) break;
    if (count - total >= kFileBufferSize) {
      // A large read bypasses the buffer, which stays empty at the new position.
      stream->bufferStart += stream->filled;
      stream->filled = 0;
      stream->cursor = 0;
      int64_t got = ReadFully(stream->fd, out + total, count - total);
      if (got < 0) return total > 0 ? total : -1;
      stream->bufferStart += got;
      total += static_cast<int32_t>(got);
      break;
    }
    if (!RefillFileBuffer(stream)) return total > 0 ? total : -1;
    if (stream->filled == 0) break;
  }
  return total;
}

int32_t Seek(StreamHandle stream, int32_t distance, SeekOrigin origin) {
  if (origin != kSeekStart && origin != kSeekCurrent) return -1;
  if (stream->kind == StreamKind::kFileWrite && !FlushWrite(stream)) return -1;
  int64_t target = (origin == kSeekStart ? 0 : Position(stream)) + distance;
  if (target < 0 || target > INT32_MAX) return -1;
  if (stream->kind == StreamKind::kMemory) {
    if (target > stream->filled) return -1;
    stream->cursor = static_cast<int32_t>(target);
    return static_cast<int32_t>(target);
  }
  if (stream->kind == StreamKind::kFileRead && target >= stream->bufferStart &&
      target <= stream->bufferStart + stream->filled) {
    stream->cursor = static_cast<int32_t>(target - stream->bufferStart);
    return static_cast<int32_t>(target);
  }
  if (lseek(stream->fd, static_cast<off_t>(target), SEEK_SET) < 0) return -1;
  stream->bufferStart = target;
  stream->filled = 0;
  stream->cursor = 0;
  return static_cast<int32_t>(target);
}

int32_t Write(StreamHandle stream, const void* source, int32_t count) {
  if (count < 0 || stream->kind != StreamKind::kFileWrite) return -1;
  const auto* in = static_cast<const uint8_t*>(source);
  if (stream->filled + count > kFileBufferSize) {
    if (!FlushWrite(stream)) return -1;
    if (count >= kFileBufferSize) {
      if (!WriteFully(stream->fd, in, count)) return -1;
      stream->bufferStart += count;
      return count;
    }
  }
  memcpy(stream->buffer + stream->filled, in, static_cast<size_t>(count));
  stream->filled += count;
  stream->cursor = stream->filled;
  return count;
}

int32_t GetBuffer(StreamHandle stream, char** address, int32_t* length) {
  *address = reinterpret_cast<char*>(stream->buffer);
  *length = stream->kind == StreamKind::kMemory ? stream->filled : kFileBufferSize;
  return 0;
}

int32_t BeginDirectRead(StreamHandle stream, ReadWindow* window) {
  if (stream->kind == StreamKind::kFileWrite) return 1;
  window->next = stream->buffer + stream->cursor;
  window->end = stream->buffer + stream->filled;
  return 0;
}

int32_t RefillDirectRead(StreamHandle stream, ReadWindow* window) {
  stream->cursor = static_cast<int32_t>(window->next - stream->buffer);
  if (stream->kind == StreamKind::kFileRead && stream->cursor == stream->filled &&
      !RefillFileBuffer(stream)) {
    return 1;
  }
  window->next = stream->buffer + stream->cursor;
  window->end = stream->buffer + stream->filled;
  return 0;
}

int32_t EndDirectRead(StreamHandle stream, ReadWindow window) {
  stream->cursor = static_cast<int32_t>(window.next - stream->buffer);
  return 0;
}

int32_t Close(StreamHandle stream) {
  bool ok = true;
  if (stream->kind == StreamKind::kFileWrite) ok = FlushWrite(stream);
  if (stream->fd >= 0 && close(stream->fd) != 0) ok = false;
  if (stream->ownsBuffer) free(stream->buffer);
  free(stream);
  return ok ? 0 : 1;
}

int32_t RemoveFile(const char* path) {
  if (path == nullptr) return 1;
  return unlink(path) == 0 ? 0 : 1;
}

BlockHandle AllocBlock(uint32_t size, BlockFill fill) {
  // calloc hands a large block over as fresh pages the kernel zeroes when they
  // are first touched, and clears only recycled heap memory itself: memory is
  // touched as the decoder writes it, never because a header claims 4 GiB. An
  // uncleared block spares the clearing of recycled memory, a pass over the
  // whole block before its first row is written. The host frees it with free().
  const size_t bytes = size > 0 ? size : 1;
  void* block = fill == BlockFill::kZeroed ? calloc(bytes, 1) : malloc(bytes);
  if (block != nullptr && size >= 2 * kHugePage) {
    // Advice, not a write: the whole huge pages inside the block. A hint
    // only; without it, plain pages.
    uintptr_t begin = (reinterpret_cast<uintptr_t>(block) + kHugePage - 1) & ~(kHugePage - 1);
    uintptr_t end = (reinterpret_cast<uintptr_t>(block) + size) & ~(kHugePage - 1);
    if (begin < end) (void)madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
  }
  return block;
}

void* LockBlock(BlockHandle block) { return block; }

void UnlockBlock(BlockHandle) {}

void FreeBlock(BlockHandle block) { free(block); }

void* AllocScratch(size_t size) { return malloc(size); }

void FreeScratch(void* memory) { free(memory); }

int32_t ReadProbe(ProbeValue handle, void* destination, uint32_t count, uint32_t* countRead) {
  int64_t got = ReadFully(static_cast<int>(handle), static_cast<uint8_t*>(destination), count);
  if (got < 0) return 1;
  *countRead = static_cast<uint32_t>(got);
  return 0;
}

int32_t MoveProbe(ProbeValue handle, int32_t distance) {
  return lseek(static_cast<int>(handle), distance, SEEK_CUR) < 0 ? 1 : 0;
}

int32_t CompareText(const char* a, const char* b) { return strcmp(a, b); }

int32_t CompareTextIgnoreCase(const char* a, const char* b) {
  for (;; ++a, ++b) {
    int ca = static_cast<unsigned char>(*a), cb = static_cast<unsigned char>(*b);
    if (ca >= 'A' && ca <= 'Z') ca += 'a' - 'A';
    if (cb >= 'A' && cb <= 'Z') cb += 'a' - 'A';
    if (ca != cb) return ca - cb;
    if (ca == 0) return 0;
  }
}

}  // namespace QRV_PLATFORM_NS
}  // namespace qrv
