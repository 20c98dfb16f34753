// Reading and checking one entry header and its name. Allocates only the name's
// scratch buffer, which it frees again on every failure.
#include "entry_header.h"

namespace qrv {
namespace {

uint32_t ReadLe32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

uint16_t ReadLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

bool IsNameChar(uint8_t c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || c == '_';
}

}  // namespace

int32_t ReadEntryHeader(StreamHandle stream, EntryHeader* header, char** name,
                        EntryArrival* arrival) {
  *name = nullptr;
  EntryArrival came = {0, 0, true};
  // Bytes that do not arrive stay zero, so a short end mark reads as zeros.
  uint8_t head[kEntryHeadSize] = {};
  int32_t got = platform::Read(stream, head, kEntryHeadSize);
  came.headerBytes = got > 0 ? got : 0;
  header->dataSize = ReadLe32(head + 0);
  header->secondWord = ReadLe32(head + 4);
  header->nameLength = ReadLe16(head + 8);
  int32_t rc = RC_OK;
  if (got <= 0) rc = RC_READ_ERROR;
  if (rc == RC_OK && got < kEntryHeadSize) rc = RC_UNKNOWN_FORMAT;
  if (rc == RC_OK && (header->dataSize == 0 || header->nameLength == 0)) rc = RC_UNKNOWN_FORMAT;

  char* buffer = nullptr;
  if (rc == RC_OK) {
    buffer = static_cast<char*>(platform::AllocScratch(size_t{header->nameLength} + 1));
    if (buffer == nullptr) rc = RC_NO_MEMORY;
  }
  if (rc == RC_OK) {
    // Read, not ReadExact: detection needs to know how much of a cut name came.
    int32_t nameGot = platform::Read(stream, buffer, header->nameLength);
    came.nameBytes = nameGot > 0 ? nameGot : 0;
    buffer[came.nameBytes] = '\0';
    // Every byte counts, including any after an embedded zero.
    for (int32_t i = 0; came.nameBytesValid && i < came.nameBytes; ++i) {
      came.nameBytesValid = IsNameChar(static_cast<uint8_t>(buffer[i]));
    }
    // A cut name is a read error first, whatever its bytes.
    if (came.nameBytes != header->nameLength) {
      rc = RC_READ_ERROR;
    } else if (!came.nameBytesValid) {
      rc = RC_UNKNOWN_FORMAT;
    }
  }
  if (rc == RC_OK) {
    *name = buffer;
  } else if (buffer != nullptr) {
    platform::FreeScratch(buffer);
  }
  if (arrival != nullptr) *arrival = came;
  return rc;
}

void ReleaseEntryName(char* name) {
  if (name != nullptr) platform::FreeScratch(name);
}

}  // namespace qrv
