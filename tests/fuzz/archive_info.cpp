// GetArchiveInfo on a memory source: the input is the archive. On RC_OK the
// listing must be a live, unlocked block of records closed by an all-zero one,
// each record's position and size inside the archive and its name valid; on
// failure nothing may be left with the host.
#include <cstring>

#include "harness.h"

using namespace qrv::fuzz;

namespace {

bool ValidName(const char* name, size_t length) {
  if (length == 0) return false;
  for (size_t i = 0; i < length; ++i) {
    const char c = name[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || c == '_')) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  BeginInput();
  std::vector<uint8_t> archive(data, data + size);
  QrvBlock listing = nullptr;
  int32_t rc = GetArchiveInfo(AsSource(archive), static_cast<int32_t>(archive.size()),
                              QRV_INPUT_MEMORY, &listing);
  Require(IsResultCode(rc), "not a result code");
  RequireNothingHeld();
  if (rc != RC_OK) {
    Require(qrv::test::LiveBlocks() == 0, "a listing was left behind by a failed call");
    return 0;
  }
  Require(listing != nullptr, "RC_OK without a listing");
  const auto* records = static_cast<const FileInfo*>(listing);
  // Every entry takes at least 11 bytes and the end mark 4: this bounds the
  // records the listing can hold before its closing one.
  size_t count = 0;
  uint64_t previousEnd = 0;
  for (; count <= size / 11; ++count) {
    FileInfo record;
    std::memcpy(&record, &records[count], sizeof record);
    if (record.method[0] == 0) break;
    Require(record.method[0] == ' ' && record.method[1] == 0, "method text");
    Require(record.position == previousEnd, "records not back to back");
    Require(record.size == record.stored_size && record.size != 0, "sizes");
    const size_t nameLength = strnlen(record.file_name, sizeof record.file_name);
    Require(ValidName(record.file_name, nameLength), "listed name not valid");
    Require(uint64_t{record.position} + 10 <= size, "a record's header lies past the archive");
    const uint32_t storedNameLength =
        archive[record.position + 8] | uint32_t{archive[record.position + 9]} << 8;
    // Long names fill the field, with or without a closing zero.
    Require(nameLength == storedNameLength || (storedNameLength >= 199 && nameLength >= 199),
            "name length");
    previousEnd = uint64_t{record.position} + 10 + storedNameLength + record.size;
    Require(previousEnd <= size, "an entry reaches past the archive");
  }
  Require(count > 0, "RC_OK with no entry");
  FileInfo closing;
  std::memcpy(&closing, &records[count], sizeof closing);
  const FileInfo zero = {};
  Require(std::memcmp(&closing, &zero, sizeof zero) == 0, "the closing record is not all zero");
  TakeBlock(listing, "listing not live and unlocked");
  Require(qrv::test::LiveBlocks() == 0, "more blocks than the listing");
  return 0;
}
