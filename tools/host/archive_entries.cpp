#include "archive_entries.h"

#include <array>
#include <cerrno>
#include <cstring>

#include "file_system.h"

namespace qrv::host {
namespace {

// The listing cuts longer names to this many characters (the plug-in's own
// choice; a cut at the full field of 200 is accepted too).
constexpr size_t kListedNameCut = 199;

uint32_t Le32(const uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

bool SeekTo(std::FILE* file, uint64_t offset) {
#if defined(_WIN32)
  return _fseeki64(file, static_cast<int64_t>(offset), SEEK_SET) == 0;
#else
  return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

std::array<uint32_t, 256> MakeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}

}  // namespace

ArchiveBytes::~ArchiveBytes() { Close(); }

void ArchiveBytes::Close() {
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
}

bool ArchiveBytes::Open(const Input& input, std::string* error) {
  input_ = &input;
  if (input.inMemory) {
    size_ = input.bytes.size();
    return true;
  }
  file_ = std::fopen(input.path.c_str(), "rb");
  if (file_ == nullptr || std::fseek(file_, 0, SEEK_END) != 0) {
    *error = Shown(input.path) + ": cannot open: " + SystemReason(errno);
    return false;
  }
#if defined(_WIN32)
  const int64_t end = _ftelli64(file_);
#else
  const int64_t end = ftello(file_);
#endif
  if (end < 0) {
    *error = Shown(input.path) + ": cannot read: " + SystemReason(errno);
    return false;
  }
  size_ = static_cast<uint64_t>(end);
  return true;
}

bool ArchiveBytes::Read(uint64_t offset, void* into, size_t size, std::string* error) {
  if (size == 0) return true;
  if (input_->inMemory) {
    if (offset > size_ || size > size_ - offset) {
      *error = Shown(input_->path) + ": archive ends early";
      return false;
    }
    std::memcpy(into, input_->bytes.data() + offset, size);
    return true;
  }
  errno = 0;
  if (!SeekTo(file_, offset) || std::fread(into, 1, size, file_) != size) {
    *error = Shown(input_->path) + (std::ferror(file_) != 0
                                        ? ": cannot read: " + SystemReason(errno)
                                        : std::string(": the file shrank while it was read"));
    return false;
  }
  return true;
}

bool ReadStoredEntries(ArchiveBytes& bytes, const std::vector<FileInfo>& listing,
                       std::vector<StoredEntry>* entries, uint64_t* endMarkAt,
                       std::string* error) {
  entries->clear();
  uint64_t expected = 0;  // where the next header must start
  for (const FileInfo& info : listing) {
    auto disagree = [&](const std::string& what) {
      *error = Shown(bytes.path()) + ": the entry at " + std::to_string(info.position) + " " + what +
               " (did the file change while it was read?)";
      return false;
    };
    if (info.position != expected) return disagree("does not follow the one before it");
    uint8_t head[kEntryHeadBytes];
    if (!bytes.Read(info.position, head, sizeof head, error)) return false;
    StoredEntry entry;
    entry.position = info.position;
    entry.size = Le32(head);
    entry.secondWord = Le32(head + 4);
    entry.name.resize(head[8] | head[9] << 8);
    if (entry.name.empty() || !bytes.Read(info.position + kEntryHeadBytes, entry.name.data(),
                                          entry.name.size(), error)) {
      return entry.name.empty() ? disagree("has no name") : false;
    }
    const std::string listed = EntryName(info);
    const bool cut = listed.size() >= kListedNameCut;
    if (entry.size != info.size || entry.name.compare(0, listed.size(), listed) != 0 ||
        (!cut && entry.name.size() != listed.size())) {
      return disagree("is not the one the plug-in listed");
    }
    expected = entry.End();
    entries->push_back(std::move(entry));
  }
  if (entries->empty() || expected > bytes.size()) {
    *error = Shown(bytes.path()) +
             ": the archive ends inside its last entry (did the file change while it was read?)";
    return false;
  }
  *endMarkAt = expected;
  return true;
}

uint32_t UpdateCrc32(uint32_t crc, const void* data, size_t size) {
  static const std::array<uint32_t, 256> kTable = MakeCrcTable();
  const auto* p = static_cast<const uint8_t*>(data);
  crc = ~crc;
  for (size_t i = 0; i < size; ++i) crc = kTable[(crc ^ p[i]) & 0xff] ^ (crc >> 8);
  return ~crc;
}

}  // namespace qrv::host
