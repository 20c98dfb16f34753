// Walking an archive from entry to entry: one routine behind detection, the
// listing and the lookup by name. It reads each header and name, seeks over the
// data and fills FileInfo records for the entries it takes. It never seeks
// backwards within a pass and always ends: every step moves forward by at least
// 12 bytes, and no walk without a limit goes 2^31 bytes past its start.
#ifndef QRV_ARCHIVE_WALKER_H
#define QRV_ARCHIVE_WALKER_H

#include <stdint.h>

#include "plugin.h"

namespace qrv {

constexpr uint32_t kRecordSize = sizeof(FileInfo);

struct WalkRequest {
  StreamHandle stream;     // standing on the archive's first byte
  int32_t limit;           // 0: none; else succeed once the walk reaches it
  bool listing;            // take every entry into a listing block
  FileInfo* record;        // lookup: where the found entry's record goes, or null
  const char* wantedName;  // lookup: the name to find, or null
  bool ignoreCase;
};

// A listing block, still locked: the caller hands it over or frees it.
struct Listing {
  BlockHandle handle;
  void* address;
};

// Runs the walk. A listing request needs `listing`, which receives the block
// on RC_OK and nulls otherwise (nothing is left allocated on failure).
//   RC_UNKNOWN_FORMAT  a malformed entry, an archive of only the end mark, an
//                      entry ending 2^31 or more bytes after the start
//   RC_READ_ERROR      no end mark, a failed seek or read, a name not found
//   RC_NO_MEMORY, RC_MEMORY_ERROR  a name or listing buffer
[[nodiscard]] int32_t WalkArchive(const WalkRequest& request, Listing* listing);

// The listing block's size for `entries` records plus the closing zero record;
// false when it does not fit 32 bits.
bool ListingBytes(uint32_t entries, uint32_t* bytes);

}  // namespace qrv

#endif  // QRV_ARCHIVE_WALKER_H
