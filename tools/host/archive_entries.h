// An archive's entries as stored, for the commands that copy or rebuild an
// archive: the plug-in's listing says where each entry starts and how big its
// data is, and the entry's own header bytes at that position give what the
// listing cannot hold (the second header word, a name of more than 199
// characters). Each header is checked against the listing before it is used.
#ifndef QRV_HOST_ARCHIVE_ENTRIES_H
#define QRV_HOST_ARCHIVE_ENTRIES_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "plugins.h"

namespace qrv::host {

constexpr uint32_t kEntryHeadBytes = 10;  // data size, second word, name length

struct StoredEntry {
  uint32_t position = 0;  // of the header, from the archive's first byte
  uint32_t size = 0;      // of the data
  uint32_t secondWord = 0;
  std::string name;  // whole
  uint64_t DataStart() const { return uint64_t{position} + kEntryHeadBytes + name.size(); }
  uint64_t End() const { return DataStart() + size; }
};

// The bytes of an input (a file, or a stream already held in memory), read
// from any offset.
class ArchiveBytes {
 public:
  ArchiveBytes() = default;
  ~ArchiveBytes();
  ArchiveBytes(const ArchiveBytes&) = delete;
  ArchiveBytes& operator=(const ArchiveBytes&) = delete;

  // False with `error` set ("PATH: cannot open: reason").
  bool Open(const Input& input, std::string* error);
  uint64_t size() const { return size_; }
  const std::string& path() const { return input_->path; }
  // Exactly `size` bytes from `offset`; false with `error` set when they are
  // not all there ("PATH: cannot read: reason", or the file shrank).
  bool Read(uint64_t offset, void* into, size_t size, std::string* error);
  // Lets go of the file, so that it may be replaced (Windows renames no file
  // over one that is open).
  void Close();

 private:
  const Input* input_ = nullptr;
  std::FILE* file_ = nullptr;
  uint64_t size_ = 0;
};

// Brings exactly `size` bytes from `offset` of an archive: false when they are
// not all there.
using FetchBytes = std::function<bool(uint64_t offset, void* into, size_t size)>;

enum class ListedEntry {
  kFound,       // the header and name agree with the listing
  kUnreadable,  // `fetch` failed
  kNoName,      // the header there has a name length of 0
  kNotListed,   // the bytes there are not the entry the plug-in listed
};

// The entry the plug-in listed at `position` with `listedName` and
// `listedSize`, as stored: its header and whole name decoded by the
// extractor's own ReadEntryHeader from the bytes `fetch` brings (the one
// reader of entry headers), then checked against the listing. A listed name
// of 199 characters or more may be cut: the stored name need only begin with
// it. `firstNameBytes` name bytes are fetched with the header (the listed
// name's length saves a second fetch); with 0 the header is fetched alone
// first, so that a header without a name is told before a name that is cut.
// `entry` is filled on kFound.
ListedEntry ReadListedEntry(const FetchBytes& fetch, uint32_t position,
                            const std::string& listedName, uint32_t listedSize,
                            size_t firstNameBytes, StoredEntry* entry);

// The stored entries at the listing's positions, in order, and where the bytes
// after the last one (the end mark) begin. False with `error` set when a
// header does not agree with the listing or the entries do not follow each
// other without a gap.
bool ReadStoredEntries(ArchiveBytes& bytes, const std::vector<FileInfo>& listing,
                       std::vector<StoredEntry>* entries, uint64_t* endMarkAt,
                       std::string* error);

// CRC-32 (the polynomial of zip and PNG, reflected, starting from 0):
// `crc` is the value so far, updated with `size` more bytes.
uint32_t UpdateCrc32(uint32_t crc, const void* data, size_t size);

}  // namespace qrv::host

#endif  // QRV_HOST_ARCHIVE_ENTRIES_H
