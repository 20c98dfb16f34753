// The only door from the format code to the operating system: buffered streams,
// moveable blocks for the host, scratch memory, the detection handle and string
// comparison. One implementation per OS sits behind it (platform_win32.cpp calls
// mmio and local memory; platform_posix.cpp gives the same answers over POSIX
// files and heap memory), chosen by the build. Tests link a fault-injecting
// backend in its place.
//
// Nothing here keeps global state: a stream or a block lives only as long as the
// call that made it.
#ifndef QRV_PLATFORM_H
#define QRV_PLATFORM_H

#include <stddef.h>
#include <stdint.h>

namespace qrv {

// An open stream: an mmio handle on Windows, a heap object elsewhere.
struct Stream;
using StreamHandle = Stream*;

// A moveable block: an HLOCAL on Windows, malloc memory (handle = address)
// elsewhere.
using BlockHandle = void*;

// What a new block holds: zeros, or whatever the memory held (for a caller that
// writes every byte).
enum class BlockFill { kZeroed, kUncleared };

// The host's detection value: a 2048-byte block's address or a file handle.
using ProbeValue = uintptr_t;

// The separator the extractor puts between a directory and an entry name: the
// operating system's own, so that neither build rewrites the host's paths.
#if defined(_WIN32)
constexpr char kPathSeparator = '\\';
#else
constexpr char kPathSeparator = '/';
#endif

enum SeekOrigin : int32_t { kSeekStart = 0, kSeekCurrent = 1 };

// A view into a read stream's own buffer: bytes [next, end) are the next bytes
// of the stream, to be taken without a copy. See BeginDirectRead.
struct ReadWindow {
  const uint8_t* next;
  const uint8_t* end;
};

namespace platform {
#include "platform_ops.inc"
}  // namespace platform

}  // namespace qrv

#endif  // QRV_PLATFORM_H
