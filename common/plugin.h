// The common layer both plug-ins are built on: result codes and records (from
// qrvnel.h), the progress convention, identification strings, and the routines
// that turn every source the host can name into one read stream, read exactly,
// close with the failure folded into the result, and manage the blocks handed
// to the host. Format code includes this header, never an OS header.
#ifndef QRV_PLUGIN_H
#define QRV_PLUGIN_H

#include <stdint.h>

#include "platform.h"
#include "qrvnel.h"

// Marks a plug-in export: C linkage, the Windows API convention, and (on ELF)
// the only symbols the shared library makes visible. The .def file of each
// plug-in pins the plain names on Windows.
#if defined(_WIN32)
#define QRV_EXPORT extern "C"
#else
#define QRV_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace qrv {

// A source: the host's (src, len, flag) with input kind flag & QRV_INPUT_MASK.
// Opens the stream standing on the data's first byte. On failure *stream is
// null (for an input kind that is not accepted it is left unwritten).
[[nodiscard]] int32_t OpenSource(StreamHandle* stream, char* src, int32_t len, uint32_t flag);

// The 2048-byte detection head as a memory stream: over the host's block when
// dw is an address, else read from the host's file handle, which is left where
// it stood. `name` is never looked at.
[[nodiscard]] int32_t OpenProbe(StreamHandle* stream, const char* name, ProbeValue dw);

// RC_OK when exactly `count` bytes came, else RC_READ_ERROR.
[[nodiscard]] int32_t ReadExact(StreamHandle stream, void* destination, uint32_t count);

// Closes a stream opened by OpenSource; a null stream or a failed close turns a
// still-successful *rc into RC_READ_ERROR.
void CloseSource(StreamHandle stream, int32_t* rc);

// A zero-filled block, locked: either both outputs are valid, or the handle and
// address are null and nothing is left allocated.
[[nodiscard]] int32_t AllocBlock(uint32_t size, BlockHandle* handle, void** address);

// AllocBlock for a caller that writes every byte of the block before it hands
// the block over: its contents are whatever the memory held.
[[nodiscard]] int32_t AllocUnclearedBlock(uint32_t size, BlockHandle* handle, void** address);

// Unlocks a block, and frees it when `address` is not null. A null handle is
// ignored. Pass null to hand the block to the host.
void ReleaseBlock(BlockHandle handle, void* address);

// GetPluginInfo over a null-terminated table of strings.
int32_t CopyInfoString(const char* const* table, int32_t infono, char* buf, int32_t buflen);

// The callback used when the host passes none: never asks to stop.
int32_t QRV_CALL DefaultProgress(int32_t numerator, int32_t denominator, QrvUser user);

}  // namespace qrv

#endif  // QRV_PLUGIN_H
