// The platform operations on 32-bit Windows: multimedia buffered I/O (mmio) for
// streams, local memory for the host's blocks, kernel32 for the detection
// handle, lstrcmp for names.
//
// mmio trusts its arguments more than we may: a negative read count crashes
// some implementations, a negative memory-stream length reads past the block,
// and a "forward" seek that passes 2^31 goes backwards. Those values never
// reach mmio; the guards answer the way a failed call would.
#include <windows.h>
#include <mmsystem.h>

#include <stdlib.h>
#include <string.h>

#include "platform.h"

#ifndef QRV_PLATFORM_NS
#define QRV_PLATFORM_NS platform
#endif

namespace qrv {
namespace {

HMMIO Mmio(StreamHandle stream) { return reinterpret_cast<HMMIO>(stream); }

StreamHandle Wrap(HMMIO handle) { return reinterpret_cast<StreamHandle>(handle); }

}  // namespace

namespace QRV_PLATFORM_NS {

#include "platform_ops.inc"

StreamHandle OpenFileRead(const char* path) {
  if (path == nullptr) return nullptr;
  return Wrap(mmioOpenA(const_cast<LPSTR>(path), nullptr, MMIO_ALLOCBUF | MMIO_DENYWRITE));
}

StreamHandle CreateFileWrite(const char* path) {
  if (path == nullptr) return nullptr;
  return Wrap(mmioOpenA(const_cast<LPSTR>(path), nullptr,
                        MMIO_CREATE | MMIO_WRITE | MMIO_ALLOCBUF));
}

StreamHandle OpenMemory(char* address, int32_t length) {
  if (length < 0) return nullptr;
  MMIOINFO info = {};
  info.fccIOProc = FOURCC_MEM;
  info.pchBuffer = address;
  info.cchBuffer = length;
  info.adwInfo[0] = 0;  // growth increment: the stream never grows
  // An empty stream-owned block would make mmio allocate its default buffer
  // size instead; an empty stream over any address is the same stream.
  static constexpr char kNothing[1] = {};
  if (address == nullptr && length == 0) info.pchBuffer = const_cast<char*>(kNothing);
  DWORD flags = info.pchBuffer != nullptr ? MMIO_DENYWRITE : MMIO_ALLOCBUF | MMIO_DENYWRITE;
  HMMIO stream = mmioOpenA(nullptr, &info, flags);
  // mmio leaves a block it allocates as it found it; ours hold zeros.
  MMIOINFO opened = {};
  if (stream != nullptr && info.pchBuffer == nullptr &&
      mmioGetInfo(stream, &opened, 0) == MMSYSERR_NOERROR && opened.pchBuffer != nullptr) {
    memset(opened.pchBuffer, 0, static_cast<size_t>(opened.cchBuffer));
  }
  return Wrap(stream);
}

int32_t Read(StreamHandle stream, void* destination, int32_t count) {
  if (count < 0) return -1;
  return mmioRead(Mmio(stream), static_cast<HPSTR>(destination), count);
}

int32_t Seek(StreamHandle stream, int32_t distance, SeekOrigin origin) {
  if (origin == kSeekStart) {
    if (distance < 0) return -1;
    return mmioSeek(Mmio(stream), distance, SEEK_SET);
  }
  if (origin != kSeekCurrent) return -1;
  // Check where the move lands first, so that no position wraps past 2^31.
  LONG here = mmioSeek(Mmio(stream), 0, SEEK_CUR);
  if (here < 0) return -1;
  int64_t target = static_cast<int64_t>(here) + distance;
  if (target < 0 || target > INT32_MAX) return -1;
  return mmioSeek(Mmio(stream), distance, SEEK_CUR);
}

int32_t Write(StreamHandle stream, const void* source, int32_t count) {
  if (count < 0) return -1;
  return mmioWrite(Mmio(stream), static_cast<const char*>(source), count);
}

int32_t GetBuffer(StreamHandle stream, char** address, int32_t* length) {
  MMIOINFO info = {};
  if (mmioGetInfo(Mmio(stream), &info, 0) != MMSYSERR_NOERROR) return 1;
  *address = info.pchBuffer;
  *length = info.cchBuffer;
  return 0;
}

int32_t BeginDirectRead(StreamHandle stream, ReadWindow* window) {
  MMIOINFO info = {};
  if (mmioGetInfo(Mmio(stream), &info, 0) != MMSYSERR_NOERROR) return 1;
  window->next = reinterpret_cast<const uint8_t*>(info.pchNext);
  window->end = reinterpret_cast<const uint8_t*>(info.pchEndRead);
  if (window->end < window->next) window->end = window->next;
  return 0;
}

int32_t RefillDirectRead(StreamHandle stream, ReadWindow* window) {
  MMIOINFO info = {};
  if (mmioGetInfo(Mmio(stream), &info, 0) != MMSYSERR_NOERROR) return 1;
  info.pchNext = reinterpret_cast<HPSTR>(const_cast<uint8_t*>(window->next));
  if (info.pchNext >= info.pchEndRead &&
      mmioAdvance(Mmio(stream), &info, MMIO_READ) != MMSYSERR_NOERROR) {
    return 1;
  }
  if (mmioSetInfo(Mmio(stream), &info, 0) != MMSYSERR_NOERROR) return 1;
  window->next = reinterpret_cast<const uint8_t*>(info.pchNext);
  window->end = reinterpret_cast<const uint8_t*>(info.pchEndRead);
  if (window->end < window->next) window->end = window->next;
  return 0;
}

int32_t EndDirectRead(StreamHandle stream, ReadWindow window) {
  MMIOINFO info = {};
  if (mmioGetInfo(Mmio(stream), &info, 0) != MMSYSERR_NOERROR) return 1;
  info.pchNext = reinterpret_cast<HPSTR>(const_cast<uint8_t*>(window.next));
  return mmioSetInfo(Mmio(stream), &info, 0) == MMSYSERR_NOERROR ? 0 : 1;
}

int32_t Close(StreamHandle stream) { return mmioClose(Mmio(stream), 0) == 0 ? 0 : 1; }

int32_t RemoveFile(const char* path) { return DeleteFileA(path) ? 0 : 1; }

BlockHandle AllocBlock(uint32_t size, BlockFill fill) {
  const UINT flags = fill == BlockFill::kZeroed ? LMEM_MOVEABLE | LMEM_ZEROINIT : LMEM_MOVEABLE;
  return LocalAlloc(flags, size);
}

void* LockBlock(BlockHandle block) { return LocalLock(block); }

void UnlockBlock(BlockHandle block) { LocalUnlock(block); }

void FreeBlock(BlockHandle block) { LocalFree(block); }

void* AllocScratch(size_t size) { return malloc(size); }

void FreeScratch(void* memory) { free(memory); }

int32_t ReadProbe(ProbeValue handle, void* destination, uint32_t count, uint32_t* countRead) {
  DWORD got = 0;
  if (!ReadFile(reinterpret_cast<HANDLE>(handle), destination, count, &got, nullptr)) return 1;
  *countRead = got;
  return 0;
}

int32_t MoveProbe(ProbeValue handle, int32_t distance) {
  DWORD moved = SetFilePointer(reinterpret_cast<HANDLE>(handle), distance, nullptr, FILE_CURRENT);
  return moved == INVALID_SET_FILE_POINTER ? 1 : 0;
}

int32_t CompareText(const char* a, const char* b) { return lstrcmpA(a, b); }

int32_t CompareTextIgnoreCase(const char* a, const char* b) { return lstrcmpiA(a, b); }

}  // namespace QRV_PLATFORM_NS
}  // namespace qrv
