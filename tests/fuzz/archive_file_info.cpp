// GetFileInfo on a memory source. Input: a flag byte (bit 7 asks to ignore
// case, bit 6 to pass no name at all), a name length byte, that many name
// bytes, then the archive. A found entry's record must name it (compared as
// asked) and lie inside the archive; on any other result the record must be
// untouched.
#include <cstring>

#include "harness.h"

using namespace qrv::fuzz;

namespace {

char Fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(const std::string& wanted, const char* listed, bool ignoreCase) {
  const size_t length = strnlen(listed, sizeof FileInfo::file_name);
  if (length != wanted.size()) return false;
  for (size_t i = 0; i < length; ++i) {
    const char a = ignoreCase ? Fold(wanted[i]) : wanted[i];
    const char b = ignoreCase ? Fold(listed[i]) : listed[i];
    if (a != b) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  BeginInput();
  Input input(data, size);
  const uint8_t options = input.Take();
  const bool ignoreCase = (options & 0x80) != 0;
  const bool noName = (options & 0x40) != 0;
  const uint8_t nameLength = input.Take();
  std::string wanted;
  for (uint8_t i = 0; i < nameLength; ++i) wanted.push_back(static_cast<char>(input.Take()));
  wanted = wanted.c_str();  // the export sees the name up to its first zero
  std::vector<uint8_t> archive = input.Rest();

  FileInfo info;
  std::memset(&info, 0x5a, sizeof info);
  const FileInfo untouched = info;
  const uint32_t flag = QRV_INPUT_MEMORY | (ignoreCase ? uint32_t{QRV_IGNORE_CASE} : 0u);
  int32_t rc = GetFileInfo(AsSource(archive), static_cast<int32_t>(archive.size()),
                           noName ? nullptr : wanted.data(), flag, &info);
  Require(IsResultCode(rc), "not a result code");
  RequireNothingHeld();
  Require(qrv::test::LiveBlocks() == 0, "a lookup allocated a block");
  const bool written = std::memcmp(&info, &untouched, sizeof info) != 0;
  if (rc != RC_OK || noName) {
    Require(!written, "record written without a found entry");
    return 0;
  }
  Require(written, "RC_OK for a name without its record");
  // Names longer than the field are cut, so only shorter ones compare whole.
  if (wanted.size() < 199) {
    Require(SameName(wanted, info.file_name, ignoreCase), "the record names another entry");
  }
  Require(info.method[0] == ' ' && info.method[1] == 0 && info.path[0] == 0, "record fields");
  Require(info.size == info.stored_size && info.timestamp == 0, "record sizes");
  // An entry is taken on its header and name: its data need not be there.
  Require(uint64_t{info.position} + 10 + wanted.size() <= archive.size(),
          "the found entry's name lies past the archive");
  return 0;
}
