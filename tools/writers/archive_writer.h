// Writes Quorvanel Archive files: entries back to back, closed by the 4-byte
// end mark. Used by the tests, the benchmarks and the command-line host; never
// by the plug-ins.
#ifndef QRV_TOOLS_ARCHIVE_WRITER_H
#define QRV_TOOLS_ARCHIVE_WRITER_H

#include <cstdint>
#include <string>
#include <vector>

namespace qrv::writer {

struct ArchiveEntry {
  std::string name;           // 1 to 65535 characters of 0-9, a-z and '_'
  std::vector<uint8_t> data;  // 1 byte or more
  uint32_t secondWord = 0;    // stored as is, never interpreted
};

// Empty when `name` is a valid entry name, else why it is not.
std::string CheckEntryName(const std::string& name);

// Archives stay below 2^31 bytes: positions are signed 32-bit offsets.
constexpr uint64_t kMaxArchiveBytes = 0x7fffffff;

// One entry's header and name, for a writer that streams the data after it.
std::vector<uint8_t> EntryHeaderBytes(const std::string& name, uint32_t dataSize,
                                      uint32_t secondWord = 0);
// The 4-byte mark that ends an archive.
std::vector<uint8_t> EndMarkBytes();

// Appends the archive of `entries` (at least one) to `out`. Returns false with
// `error` naming the first offending entry when an entry cannot be stored.
bool WriteArchive(const std::vector<ArchiveEntry>& entries, std::vector<uint8_t>* out,
                  std::string* error);

}  // namespace qrv::writer

#endif  // QRV_TOOLS_ARCHIVE_WRITER_H
