// What every fuzz target shares: the exports of both plug-ins as the targets
// call them (linked directly, on the accounting test backend), option bytes
// taken from the front of an input, and the checks that turn a broken promise
// into a crash libFuzzer reports: a stream left open, a block left locked or
// leaked, a scratch name left allocated, a block handed over on failure.
//
// A target is one LLVMFuzzerTestOneInput. Built with clang and libFuzzer it is
// a fuzzer; built with any other compiler it links fuzz_replay.cpp and replays
// the files it is given, so CTest runs the seeds and the corpus on every build.
#ifndef QRV_TESTS_FUZZ_HARNESS_H
#define QRV_TESTS_FUZZ_HARNESS_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fault_platform.h"
#include "qrvnel.h"
#include "test_files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

// The exports, declared from the host header's function types. A target links
// the object library of one plug-in only: both define IsSupported.
extern "C" {
int32_t QRV_CALL IsSupported(char* filename, uintptr_t dw);
int32_t QRV_CALL GetPictureInfo(char* src, int32_t len, uint32_t flag, PictureInfo* info);
int32_t QRV_CALL GetPicture(char* src, int32_t len, uint32_t flag, QrvBlock* info_out,
                            QrvBlock* bits_out, ProgressCallback progress, QrvUser user);
int32_t QRV_CALL GetArchiveInfo(char* src, int32_t len, uint32_t flag, QrvBlock* listing_out);
int32_t QRV_CALL GetFileInfo(char* src, int32_t len, char* name, uint32_t flag, FileInfo* info);
int32_t QRV_CALL GetFile(char* src, int32_t len, char* dest, uint32_t flag,
                         ProgressCallback progress, QrvUser user);
}

namespace qrv::fuzz {

// Reports a broken promise and stops the process, so libFuzzer (or the replay
// main, or CTest) records the input.
[[noreturn]] inline void Fail(const char* what) {
  std::fprintf(stderr, "fuzz check failed: %s (%s)\n", what, test::LiveSummary().c_str());
  std::abort();
}

inline void Require(bool ok, const char* what) {
  if (!ok) Fail(what);
}

// Each input starts from zero counts: the backend's counters would otherwise
// run for the whole process.
inline void BeginInput() { test::ResetFaults(); }

// After every export call: nothing open, nothing locked, no scratch name.
inline void RequireNothingHeld() {
  Require(test::OpenStreams() == 0, "a stream was left open");
  Require(test::LockedBlocks() == 0, "a block was left locked");
  Require(test::LiveScratch() == 0, "a scratch buffer was left allocated");
}

// The host's side of a handed-over block: it must be live and unlocked.
inline void TakeBlock(QrvBlock block, const char* what) {
  if (!test::FreeHostBlock(block)) Fail(what);
}

inline bool IsResultCode(int32_t rc) {
  switch (rc) {
    case RC_OK:
    case RC_ABORTED:
    case RC_UNKNOWN_FORMAT:
    case RC_NO_MEMORY:
    case RC_MEMORY_ERROR:
    case RC_READ_ERROR:
    case RC_INTERNAL_ERROR:
      return true;
    default:
      return false;
  }
}

// Option bytes from the front of an input; the rest is the payload.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  // The next option byte, 0 once the input is used up.
  uint8_t Take() {
    if (used_ >= size_) return 0;
    return data_[used_++];
  }

  // The remaining bytes, as the payload.
  std::vector<uint8_t> Rest() const {
    return std::vector<uint8_t>(data_ + used_, data_ + size_);
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t used_ = 0;
};

// A progress callback that records its calls and asks to stop at call number
// `stopAt` (0-based; negative: never). The user value is its address.
struct Progress {
  int32_t stopAt = -1;
  int32_t calls = 0;
  int32_t lastNumerator = -1;
  int32_t denominator = 0;
  bool ordered = true;  // numerators run 0, 1, 2 ... over one denominator

  static int32_t QRV_CALL Callback(int32_t numerator, int32_t denominator, QrvUser user) {
    auto* self = reinterpret_cast<Progress*>(user);
    if (self->calls == 0) self->denominator = denominator;
    if (numerator != self->lastNumerator + 1 || denominator != self->denominator) {
      self->ordered = false;
    }
    self->lastNumerator = numerator;
    return self->calls++ == self->stopAt ? 1 : 0;
  }

  QrvUser user() { return reinterpret_cast<QrvUser>(this); }
};

// The one scratch file a target writes its file sources to.
inline const std::string& InputPath() {
  static const std::string path = test::ScratchPath("fuzz-input");
  return path;
}

// Writes `prefix` filler bytes and then `payload` to the input file; returns its path.
inline std::string WriteInputFile(size_t prefix, const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> bytes(prefix, 0xa5);
  bytes.insert(bytes.end(), payload.begin(), payload.end());
  test::WriteFileBytes(InputPath(), bytes);
  return InputPath();
}

// The most one input may make a picture export allocate: bigger pictures only
// slow the fuzzer down and find nothing that smaller ones do not.
constexpr uint64_t kMaxPixelBytes = 1u << 20;

// The pixel block a header at `bytes` asks for (0 when there is no full header).
inline uint64_t PixelBytes(const std::vector<uint8_t>& bytes) {
  if (bytes.size() < 12) return 0;
  uint64_t width = (uint64_t{bytes[7]} << 8) | bytes[8];
  uint64_t height = (uint64_t{bytes[9]} << 8) | bytes[10];
  uint64_t stride = (width * 3 + 3) / 4 * 4;
  return stride * height;
}

// The most one input may make an extraction allocate, for the same reason.
constexpr uint64_t kMaxEntryBytes = 1u << 20;

inline uint32_t ReadLe32(const std::vector<uint8_t>& bytes, size_t at) {
  if (bytes.size() < at + 4) return 0;
  return uint32_t{bytes[at]} | uint32_t{bytes[at + 1]} << 8 | uint32_t{bytes[at + 2]} << 16 |
         uint32_t{bytes[at + 3]} << 24;
}

inline char* AsSource(std::vector<uint8_t>& bytes) {
  return reinterpret_cast<char*>(bytes.data());
}

}  // namespace qrv::fuzz

#endif  // QRV_TESTS_FUZZ_HARNESS_H
