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

int32_t ReadEntryHeader(StreamHandle stream, EntryHeader* header, char** name) {
  *name = nullptr;
  // Bytes that do not arrive stay zero, so a short end mark reads as zeros.
  uint8_t head[kEntryHeadSize] = {};
  int32_t got = platform::Read(stream, head, kEntryHeadSize);
  header->dataSize = ReadLe32(head + 0);
  header->secondWord = ReadLe32(head + 4);
  header->nameLength = ReadLe16(head + 8);
  if (got <= 0) return RC_READ_ERROR;
  if (got < kEntryHeadSize) return RC_UNKNOWN_FORMAT;
  if (header->dataSize == 0 || header->nameLength == 0) return RC_UNKNOWN_FORMAT;

  auto* buffer = static_cast<char*>(platform::AllocScratch(size_t{header->nameLength} + 1));
  if (buffer == nullptr) return RC_NO_MEMORY;
  int32_t rc = ReadExact(stream, buffer, header->nameLength);
  buffer[header->nameLength] = '\0';
  // Every byte counts, including any after an embedded zero.
  for (uint32_t i = 0; rc == RC_OK && i < header->nameLength; ++i) {
    if (!IsNameChar(static_cast<uint8_t>(buffer[i]))) rc = RC_UNKNOWN_FORMAT;
  }
  if (rc == RC_OK) {
    *name = buffer;
  } else {
    platform::FreeScratch(buffer);
  }
  return rc;
}

void ReleaseEntryName(char* name) {
  if (name != nullptr) platform::FreeScratch(name);
}

}  // namespace qrv
