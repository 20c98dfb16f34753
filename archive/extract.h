// Extraction of one entry's data: the 32 progress steps of reading it, and the
// output file it may be written to. The export owns the data block; these
// routines only fill it or write it out.
#ifndef QRV_ARCHIVE_EXTRACT_H
#define QRV_ARCHIVE_EXTRACT_H

#include <stdint.h>

#include "plugin.h"

namespace qrv {

constexpr int32_t kProgressSteps = 32;
constexpr size_t kOutputPathSize = 272;

// Reads `size` bytes into `out` as 32 chunks of size / 32 bytes and a last
// piece of size % 32, calling progress(i, 32, user) before chunk i and
// progress(32, 32, user) after the last piece: 33 calls when nothing fails.
// RC_ABORTED when the callback answers nonzero, RC_READ_ERROR when data is
// missing.
[[nodiscard]] int32_t ReadEntryData(StreamHandle stream, uint32_t size, uint8_t* out,
                                    ProgressCallback progress, QrvUser user);

// Entry names Windows takes as devices rather than files.
bool IsDeviceName(const char* name);

// dest, the platform's separator and the name ("dest\name" on Windows,
// "dest/name" elsewhere; dest is never rewritten), or the bare name for an
// empty dest, in a 272-byte buffer; false (and nothing written past the
// buffer) when it does not fit.
bool BuildOutputPath(const char* dest, const char* name, char (&path)[kOutputPathSize]);

// Creates or replaces the file BuildOutputPath names and writes `size` bytes
// to it. On any failure after the file was created it is removed again.
//   RC_INTERNAL_ERROR  a device name, a path too long, the file cannot be
//                      created, written in full, or flushed and closed
[[nodiscard]] int32_t WriteOutputFile(const char* dest, const char* name, const uint8_t* data,
                                      uint32_t size);

}  // namespace qrv

#endif  // QRV_ARCHIVE_EXTRACT_H
