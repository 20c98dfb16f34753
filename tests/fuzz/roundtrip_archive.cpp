// Round trip through the archive writer: the input chooses up to 8 entries
// (names of 1 to 24 characters from the name alphabet, data of 1 to 256
// bytes), the writer makes the archive, and the exports must read it back:
// the listing names every entry with its position and size, a lookup by name
// finds the first entry of that name, extraction at each recorded position
// gives the entry's bytes, and its head is detected wherever byte 2048 falls.
//
// Input, per entry: a name-length byte, that many name bytes (mapped onto the
// alphabet), a data-length byte and a fill byte: the data counts up from it,
// and it also fills the never-read second word.
#include <cstring>

#include "archive_writer.h"
#include "harness.h"

using namespace qrv::fuzz;

namespace {

constexpr char kAlphabet[] = "0123456789abcdefghijklmnopqrstuvwxyz_";
constexpr size_t kMaxEntries = 8;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  BeginInput();
  Input input(data, size);
  std::vector<qrv::writer::ArchiveEntry> entries;
  for (size_t used = 0; entries.size() < kMaxEntries && used < size;) {
    qrv::writer::ArchiveEntry entry;
    const size_t nameLength = 1 + input.Take() % 24;
    for (size_t i = 0; i < nameLength; ++i) entry.name.push_back(kAlphabet[input.Take() % 37]);
    const size_t dataLength = 1 + size_t{input.Take()};
    const uint8_t fill = input.Take();
    for (size_t i = 0; i < dataLength; ++i) entry.data.push_back(static_cast<uint8_t>(fill + i));
    entry.secondWord = fill * 0x01010101u;
    used += 3 + nameLength;
    entries.push_back(entry);
  }
  if (entries.empty()) return 0;
  std::vector<uint8_t> archive;
  std::string error;
  Require(qrv::writer::WriteArchive(entries, &archive, &error), "the writer refused the entries");

  QrvBlock listing = nullptr;
  Require(GetArchiveInfo(AsSource(archive), static_cast<int32_t>(archive.size()), QRV_INPUT_MEMORY,
                         &listing) == RC_OK,
          "GetArchiveInfo refused a written archive");
  RequireNothingHeld();
  const auto* records = static_cast<const FileInfo*>(listing);
  uint32_t position = 0;
  for (size_t i = 0; i <= entries.size(); ++i) {
    FileInfo record;
    std::memcpy(&record, &records[i], sizeof record);
    if (i == entries.size()) {
      Require(record.method[0] == 0 && record.position == 0 && record.file_name[0] == 0,
              "the listing is not closed by a zero record");
      break;
    }
    const auto& entry = entries[i];
    Require(record.position == position && record.size == entry.data.size() &&
                record.stored_size == entry.data.size() && entry.name == record.file_name,
            "a listed record differs from its entry");

    // Extraction at the recorded position.
    QrvBlock block = nullptr;
    Require(GetFile(AsSource(archive) + position, static_cast<int32_t>(archive.size() - position),
                    reinterpret_cast<char*>(&block), uint32_t{QRV_INPUT_MEMORY} | QRV_OUTPUT_MEMORY,
                    nullptr, 0) == RC_OK,
            "GetFile refused a listed entry");
    Require(std::memcmp(block, entry.data.data(), entry.data.size()) == 0, "extracted bytes differ");
    TakeBlock(block, "entry block not live and unlocked");

    // The lookup reports the first entry of the name, in either case.
    uint32_t first = 0;
    for (size_t j = 0, at = 0; j <= i; at += 10 + entries[j].name.size() + entries[j].data.size(), ++j) {
      if (entries[j].name == entry.name) {
        first = static_cast<uint32_t>(at);
        break;
      }
    }
    std::string upper = entry.name;
    for (char& c : upper) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    FileInfo found = {};
    Require(GetFileInfo(AsSource(archive), static_cast<int32_t>(archive.size()), upper.data(),
                        uint32_t{QRV_INPUT_MEMORY} | QRV_IGNORE_CASE, &found) == RC_OK &&
                found.position == first,
            "a lookup ignoring case missed the first entry of the name");
    position += static_cast<uint32_t>(10 + entry.name.size() + entry.data.size());
  }
  TakeBlock(listing, "listing not live and unlocked");

  {
    // Wherever the head's end cuts the entries, a written archive is detected.
    std::vector<uint8_t> head(archive);
    head.resize(QRV_HEAD_SIZE, 0);
    char name[] = "archive.dat";
    Require(IsSupported(name, reinterpret_cast<uintptr_t>(head.data())) == 1,
            "the head of a written archive was not detected");
  }
  RequireNothingHeld();
  Require(qrv::test::LiveBlocks() == 0, "blocks left after the round trip");
  return 0;
}
