#include "archive_entries.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <new>

#include "entry_header.h"
#include "file_system.h"

namespace qrv::host {
namespace {

// The listing cuts longer names to this many characters (the plug-in's own
// choice; a cut at the full field of 200 is accepted too).
constexpr size_t kListedNameCut = 199;

static_assert(kEntryHeadBytes == kEntryHeadSize);

// ReadEntryHeader over `bytes` held in memory: its answer, with *header as far
// as it came and *name the whole name on RC_OK. No memory for the stream or
// the name is what every other allocation of the host's answers too.
int32_t DecodeHeader(std::vector<char>& bytes, EntryHeader* header, std::string* name) {
  StreamHandle stream = nullptr;
  int32_t rc = OpenSource(&stream, bytes.data(), static_cast<int32_t>(bytes.size()),
                          QRV_INPUT_MEMORY);
  if (rc != RC_OK) throw std::bad_alloc();
  char* scratch = nullptr;
  rc = ReadEntryHeader(stream, header, &scratch);
  CloseSource(stream, &rc);
  if (rc == RC_OK) name->assign(scratch, header->nameLength);
  ReleaseEntryName(scratch);
  if (rc == RC_NO_MEMORY) throw std::bad_alloc();
  return rc;
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

ListedEntry ReadListedEntry(const FetchBytes& fetch, uint32_t position,
                            const std::string& listedName, uint32_t listedSize,
                            size_t firstNameBytes, StoredEntry* entry) {
  std::vector<char> bytes(kEntryHeadBytes + firstNameBytes);
  if (!fetch(position, bytes.data(), bytes.size())) return ListedEntry::kUnreadable;
  EntryHeader header = {};
  std::string name;
  int32_t rc = DecodeHeader(bytes, &header, &name);
  if (header.nameLength == 0) return ListedEntry::kNoName;
  // The header says how long the name is: the rest of it joins the bytes
  // already here, and the whole is decoded again.
  if (header.nameLength > firstNameBytes) {
    const size_t had = bytes.size();
    bytes.resize(kEntryHeadBytes + size_t{header.nameLength});
    if (!fetch(position + had, bytes.data() + had, bytes.size() - had)) {
      return ListedEntry::kUnreadable;
    }
    rc = DecodeHeader(bytes, &header, &name);
  }
  const bool cut = listedName.size() >= kListedNameCut;
  if (rc != RC_OK || header.dataSize != listedSize ||
      name.compare(0, listedName.size(), listedName) != 0 ||
      (!cut && name.size() != listedName.size())) {
    return ListedEntry::kNotListed;
  }
  entry->position = position;
  entry->size = header.dataSize;
  entry->secondWord = header.secondWord;
  entry->name = std::move(name);
  return ListedEntry::kFound;
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
    StoredEntry entry;
    const FetchBytes fetch = [&](uint64_t offset, void* into, size_t size) {
      return bytes.Read(offset, into, size, error);
    };
    switch (ReadListedEntry(fetch, info.position, EntryName(info), info.size, 0, &entry)) {
      case ListedEntry::kFound:
        break;
      case ListedEntry::kUnreadable:
        return false;
      case ListedEntry::kNoName:
        return disagree("has no name");
      case ListedEntry::kNotListed:
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
