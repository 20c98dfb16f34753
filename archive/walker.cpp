// The archive walker. One pass reads entries until the end mark (an all-zero
// header read after at least one entry), a failure, the limit or the wanted
// entry. A listing makes two passes: one to count, one to fill the block sized
// from that count, started again from where the first began.
#include "walker.h"

#include <string.h>

#include "entry_header.h"

namespace qrv {
namespace {

constexpr int64_t kMaxWalk = INT32_MAX;      // the archive size limit
constexpr size_t kNameField = sizeof(FileInfo::file_name);

struct Pass {
  FileInfo* cursor;    // where the next taken entry's record goes, or null
  uint32_t room;       // records that still fit from the cursor on
  uint32_t entries;    // entries passed so far
  bool found;          // a lookup met its name
};

// Writes exactly the record's defined fields; the rest stays as it was.
void FillRecord(FileInfo* record, int64_t position, const EntryHeader& header,
                const char* name) {
  record->method[0] = ' ';
  record->method[1] = '\0';
  record->position = static_cast<uint32_t>(position);
  record->stored_size = header.dataSize;
  record->size = header.dataSize;
  record->timestamp = 0;
  record->path[0] = '\0';
  // Our choice: long names are cut to 199 characters so the field always ends
  // in a zero; shorter names are zero-padded like strncpy.
  size_t length = strlen(name);
  if (length > kNameField - 1) length = kNameField - 1;
  memcpy(record->file_name, name, length);
  memset(record->file_name + length, 0, kNameField - length);
}

// Detection walks a head cut at the limit, so an entry that starts inside it and
// runs past its end has passed the limit, unless a byte that did arrive breaks
// a rule. A cut header whose data size arrived as zero is left to the end mark
// test. The bytes that arrived must reach the limit exactly: a short read
// anywhere else is a short stream, not the head's end.
bool CutAtLimit(int64_t walked, int32_t limit, int32_t rc, const EntryHeader& header,
                const EntryArrival& came) {
  if (rc == RC_UNKNOWN_FORMAT && came.headerBytes > 0 && came.headerBytes < kEntryHeadSize) {
    bool sizeArrived = came.headerBytes >= 4;
    return walked + came.headerBytes == limit && (!sizeArrived || header.dataSize != 0);
  }
  if (rc == RC_READ_ERROR && came.headerBytes == kEntryHeadSize) {
    // Only a cut name fails this way once the header is whole; its size and
    // length passed their checks already.
    return walked + kEntryHeadSize + came.nameBytes == limit && came.nameBytesValid;
  }
  return false;
}

bool NameMatches(const WalkRequest& request, const char* name) {
  if (request.wantedName == nullptr) return false;
  int32_t order = request.ignoreCase ? platform::CompareTextIgnoreCase(request.wantedName, name)
                                     : platform::CompareText(request.wantedName, name);
  return order == 0;
}

[[nodiscard]] int32_t RunPass(const WalkRequest& request, Pass* pass) {
  int32_t rc = RC_OK;
  int64_t walked = 0;  // from the pass's start; below 2^31 while an entry is taken
  for (;;) {
    EntryHeader header = {};
    char* name = nullptr;
    EntryArrival came = {};
    rc = ReadEntryHeader(request.stream, &header, &name, &came);
    if (rc != RC_OK) {
      if (request.limit != 0 && CutAtLimit(walked, request.limit, rc, header, came)) {
        rc = RC_OK;
      } else if (rc == RC_UNKNOWN_FORMAT && pass->entries > 0 && IsZeroHeader(header)) {
        // The end mark, or the zero fill after a short head: an all-zero header
        // once at least one entry was read.
        rc = RC_OK;
      }
      break;
    }
    bool taken = request.listing || NameMatches(request, name);
    if (taken && pass->cursor != nullptr) {
      if (pass->room == 0) {
        // More entries than the first pass counted: the data changed under us.
        rc = RC_READ_ERROR;
        ReleaseEntryName(name);
        break;
      }
      FillRecord(pass->cursor++, walked, header, name);
      --pass->room;
    }
    ReleaseEntryName(name);
    if (taken && !request.listing) {
      pass->found = true;
      break;
    }
    int64_t end = walked + EntryBytes(header);
    // With a limit, an entry that reaches it passes it, whatever its size: the
    // next one would start at or beyond the head's end.
    if (request.limit != 0 && end >= request.limit) break;
    // Without one, an entry beyond the size limit cannot be passed by a forward
    // seek of a signed 32-bit distance.
    if (request.limit == 0 && end > kMaxWalk) {
      rc = RC_UNKNOWN_FORMAT;
      break;
    }
    walked = end;
    // end <= 2^31 - 1 here, so the data size fits the seek's distance.
    if (platform::Seek(request.stream, static_cast<int32_t>(header.dataSize), kSeekCurrent) ==
        -1) {
      rc = RC_READ_ERROR;
      break;
    }
    ++pass->entries;
  }
  return rc;
}

}  // namespace

bool ListingBytes(uint32_t entries, uint32_t* bytes) {
  uint64_t total = (uint64_t{entries} + 1) * kRecordSize;
  if (total > UINT32_MAX) return false;
  *bytes = static_cast<uint32_t>(total);
  return true;
}

int32_t WalkArchive(const WalkRequest& request, Listing* listing) {
  int32_t rc = RC_OK;
  int32_t start = 0;
  Pass pass = {request.listing ? nullptr : request.record, request.listing ? 0u : 1u, 0, false};
  if (request.listing) {
    listing->handle = nullptr;
    listing->address = nullptr;
    // Our choice: the second pass starts where the first did, so any accepted
    // end mark (not only the closing 4 bytes) lists correctly.
    start = platform::Seek(request.stream, 0, kSeekCurrent);
    if (start < 0) rc = RC_READ_ERROR;
  }
  if (rc == RC_OK) rc = RunPass(request, &pass);

  if (request.listing) {
    uint32_t bytes = 0;
    if (rc == RC_OK && !ListingBytes(pass.entries, &bytes)) rc = RC_NO_MEMORY;
    if (rc == RC_OK) rc = AllocBlock(bytes, &listing->handle, &listing->address);
    if (rc == RC_OK && platform::Seek(request.stream, start, kSeekStart) != start) {
      rc = RC_READ_ERROR;
    }
    if (rc == RC_OK) {
      // The block is zero-filled, so the record after the last one taken is the
      // closing zero record.
      pass = {static_cast<FileInfo*>(listing->address), pass.entries, 0, false};
      rc = RunPass(request, &pass);
    }
    if (rc != RC_OK) {
      ReleaseBlock(listing->handle, listing->address);
      listing->handle = nullptr;
      listing->address = nullptr;
    }
  }
  if (rc == RC_OK && request.wantedName != nullptr && !request.listing && !pass.found) {
    rc = RC_READ_ERROR;  // not in the archive
  }
  return rc;
}

}  // namespace qrv
