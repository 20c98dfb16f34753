// GetFile on a memory source whose first byte is the entry's header. The first
// input byte is an option: the progress call that asks to stop (0x80 and
// above: none). The rest is the entry. Entries whose header asks for more than
// kMaxEntryBytes are left out.
//
// Built with QRV_FUZZ_FILE_OUTPUT the entry is extracted twice, into memory
// and into a scratch directory, and the two must agree: the same result, and
// on RC_OK a file holding exactly the block's bytes. A failed extraction may
// leave a file only when the failure was the output file's own.
#include <cstring>
#include <filesystem>

#include "harness.h"

using namespace qrv::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  BeginInput();
  Input input(data, size);
  const uint8_t option = input.Take();
  std::vector<uint8_t> entry = input.Rest();
  const uint32_t dataSize = ReadLe32(entry, 0);
  if (dataSize > kMaxEntryBytes) return 0;

  Progress progress;
  if (option < 0x80) progress.stopAt = option;
  QrvBlock block = nullptr;
  // Bits outside the input kind and the output kind are ignored.
  const uint32_t flag = uint32_t{QRV_INPUT_MEMORY} | QRV_OUTPUT_MEMORY | (option & 0x78u) | 0x800u;
  int32_t rc = GetFile(AsSource(entry), static_cast<int32_t>(entry.size()),
                       reinterpret_cast<char*>(&block), flag, &Progress::Callback,
                       progress.user());
  Require(IsResultCode(rc), "not a result code");
  RequireNothingHeld();
  Require(progress.ordered, "progress out of order");
  if (progress.stopAt >= 0 && progress.calls > progress.stopAt) {
    Require(rc == RC_ABORTED, "an abort did not answer RC_ABORTED");
  }
  if (rc != RC_OK) {
    Require(qrv::test::LiveBlocks() == 0, "a block was left behind by a failed call");
  } else {
    Require(progress.calls == 33 && progress.denominator == 32, "33 progress calls over 32");
    const uint32_t nameLength = entry[8] | uint32_t{entry[9]} << 8;
    Require(entry.size() >= 10 + nameLength + uint64_t{dataSize}, "RC_OK for a cut entry");
    Require(block != nullptr, "RC_OK without a block");
    Require(std::memcmp(block, entry.data() + 10 + nameLength, dataSize) == 0, "data differs");
  }

#if defined(QRV_FUZZ_FILE_OUTPUT)
  namespace fs = std::filesystem;
  static const std::string directory = [] {
    std::string path = qrv::test::ScratchPath("out");
    fs::create_directories(path);
    return path;
  }();
  BeginInput();
  Progress fileProgress;
  fileProgress.stopAt = progress.stopAt;
  std::string dest = directory;
  int32_t fileRc = GetFile(AsSource(entry), static_cast<int32_t>(entry.size()), dest.data(),
                           QRV_INPUT_MEMORY | (option & 0x78u), &Progress::Callback,
                           fileProgress.user());
  RequireNothingHeld();
  Require(qrv::test::LiveBlocks() == (rc == RC_OK ? 1 : 0), "file output handed a block over");
  std::vector<fs::path> written;
  for (const auto& item : fs::directory_iterator(directory)) written.push_back(item.path());
  if (rc == RC_OK) {
    // The output file's own failure (a device name, say) is the only new one.
    Require(fileRc == RC_OK || fileRc == RC_INTERNAL_ERROR, "file output failed otherwise");
    if (fileRc == RC_OK) {
      const uint32_t nameLength = entry[8] | uint32_t{entry[9]} << 8;
      const std::string name(reinterpret_cast<const char*>(entry.data()) + 10, nameLength);
      Require(written.size() == 1 && written[0].filename() == name, "not one file of the name");
      qrv::test::Bytes bytes = qrv::test::ReadFileBytes(written[0].string());
      Require(bytes.size() == dataSize && std::memcmp(bytes.data(), block, dataSize) == 0,
              "the file differs from the block");
    }
  } else {
    Require(fileRc == rc, "file and memory output disagree");
    Require(written.empty(), "a failed extraction left a file");
  }
  for (const auto& path : written) fs::remove(path);
#endif
  if (rc == RC_OK) TakeBlock(block, "entry block not live and unlocked");
  Require(qrv::test::LiveBlocks() == 0, "more blocks than the one handed over");
  return 0;
}
