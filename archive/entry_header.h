// One archive entry's header and name, read from a stream: the single place
// where the entry rules live, shared by the walker and the extraction. There is
// no signature; these checks are what recognises the format.
//
// Entry layout (little-endian, packed, entries back to back; the archive ends
// with 4 zero bytes):
//
//   offset  size         field
//   0       4            data size, unsigned, not 0
//   4       4            second word, never interpreted
//   8       2            name length, unsigned, not 0
//   10      name length  name: 0-9, a-z and '_' only, no terminator
//   10+n    data size    data, stored as is
#ifndef QRV_ARCHIVE_ENTRY_HEADER_H
#define QRV_ARCHIVE_ENTRY_HEADER_H

#include <stdint.h>

#include "plugin.h"

namespace qrv {

constexpr int32_t kEntryHeadSize = 10;
constexpr int32_t kEndMarkSize = 4;

struct EntryHeader {
  uint32_t dataSize;
  uint32_t secondWord;
  uint16_t nameLength;
};

// Bytes the whole entry occupies, in 64 bits so that no sum wraps.
inline int64_t EntryBytes(const EntryHeader& header) {
  return int64_t{kEntryHeadSize} + header.nameLength + header.dataSize;
}

inline bool IsZeroHeader(const EntryHeader& header) {
  return header.dataSize == 0 && header.secondWord == 0 && header.nameLength == 0;
}

// How much of an entry arrived before a read failed, for detection, which
// looks at a head cut at a fixed length: an entry cut by that end is not
// broken as long as every byte that did arrive keeps the rules.
struct EntryArrival {
  int32_t headerBytes;  // 0 to 10
  int32_t nameBytes;    // name bytes that came, when the header was complete
  bool nameBytesValid;  // every name byte that came is 0-9, a-z or '_'
};

// Reads the 10-byte header and the name. On RC_OK *name is a zero-terminated
// scratch buffer the caller owns (release it with ReleaseEntryName) and the
// stream stands on the entry's first data byte. On failure *name is null and
// *header keeps the header bytes that arrived, the rest zero: a short read of
// all-zero bytes is how the caller recognises the end mark.
//   RC_READ_ERROR      no header byte at all, or the name cut short
//   RC_UNKNOWN_FORMAT  1 to 9 header bytes, a zero size or length, a bad name
//   RC_NO_MEMORY       no buffer for the name
// A cut name is RC_READ_ERROR whatever its bytes; `arrival`, when given, says
// what came of the header and the name.
[[nodiscard]] int32_t ReadEntryHeader(StreamHandle stream, EntryHeader* header, char** name,
                                      EntryArrival* arrival = nullptr);

// Frees a name from ReadEntryHeader; null is ignored.
void ReleaseEntryName(char* name);

}  // namespace qrv

#endif  // QRV_ARCHIVE_ENTRY_HEADER_H
