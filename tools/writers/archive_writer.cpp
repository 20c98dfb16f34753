// The archive writer: each entry as its 10-byte little-endian header, its name
// and its data, then the 4-byte end mark. It refuses what a reader would
// reject (a bad name, empty data) and archives of 2^31 bytes or more, whose
// positions would not fit a signed 32-bit offset.
#include "archive_writer.h"

#include <cstdint>
#include <limits>

namespace qrv::writer {
namespace {

constexpr size_t kMaxNameLength = 65535;
static_assert(kMaxArchiveBytes == std::numeric_limits<int32_t>::max());

void AppendLe(std::vector<uint8_t>* out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

}  // namespace

std::vector<uint8_t> EntryHeaderBytes(const std::string& name, uint32_t dataSize,
                                      uint32_t secondWord) {
  std::vector<uint8_t> out;
  out.reserve(10 + name.size());
  AppendLe(&out, dataSize, 4);
  AppendLe(&out, secondWord, 4);
  AppendLe(&out, name.size(), 2);
  out.insert(out.end(), name.begin(), name.end());
  return out;
}

std::vector<uint8_t> EndMarkBytes() { return std::vector<uint8_t>(4, 0); }

std::string CheckEntryName(const std::string& name) {
  if (name.empty()) return "the name is empty";
  if (name.size() > kMaxNameLength) {
    return "the name has " + std::to_string(name.size()) + " characters, more than 65535";
  }
  for (size_t i = 0; i < name.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || c == '_';
    if (!ok) {
      return "character " + std::to_string(i) + " (byte " + std::to_string(c) +
             ") is not a digit, a lower-case letter or an underscore";
    }
  }
  return {};
}

bool WriteArchive(const std::vector<ArchiveEntry>& entries, std::vector<uint8_t>* out,
                  std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error != nullptr) *error = why;
    return false;
  };
  if (entries.empty()) return fail("an archive holds at least one entry");
  uint64_t total = 4;  // the end mark
  for (size_t i = 0; i < entries.size(); ++i) {
    const ArchiveEntry& entry = entries[i];
    std::string where = "entry " + std::to_string(i) + " \"" + entry.name.substr(0, 40) + "\": ";
    std::string why = CheckEntryName(entry.name);
    if (!why.empty()) return fail(where + why);
    if (entry.data.empty()) return fail(where + "the data is empty");
    total += 10 + entry.name.size() + entry.data.size();
    if (total > kMaxArchiveBytes) return fail(where + "the archive would reach 2^31 bytes");
  }
  out->reserve(out->size() + total);
  for (const ArchiveEntry& entry : entries) {
    std::vector<uint8_t> header =
        EntryHeaderBytes(entry.name, static_cast<uint32_t>(entry.data.size()), entry.secondWord);
    out->insert(out->end(), header.begin(), header.end());
    out->insert(out->end(), entry.data.begin(), entry.data.end());
  }
  std::vector<uint8_t> end = EndMarkBytes();
  out->insert(out->end(), end.begin(), end.end());
  return true;
}

}  // namespace qrv::writer
