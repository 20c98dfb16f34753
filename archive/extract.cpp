// Reading an entry's data with progress, and writing it to its output file.
// Allocates nothing: the data block belongs to the export, the path lives on
// the stack.
#include "extract.h"

#include <string.h>

namespace qrv {
namespace {

// The platform takes 32-bit signed counts; 2^30 keeps each write well inside.
constexpr uint32_t kWritePiece = uint32_t{1} << 30;

constexpr const char* kDeviceNames[] = {
    "con",  "prn",  "aux",  "nul",  "com1", "com2", "com3", "com4", "com5", "com6", "com7",
    "com8", "com9", "lpt1", "lpt2", "lpt3", "lpt4", "lpt5", "lpt6", "lpt7", "lpt8", "lpt9",
};

[[nodiscard]] int32_t WriteAll(StreamHandle out, const uint8_t* data, uint32_t size) {
  for (uint32_t done = 0; done < size;) {
    uint32_t piece = size - done < kWritePiece ? size - done : kWritePiece;
    // A short write is as much a failure as -1: the file would be incomplete.
    if (platform::Write(out, data + done, static_cast<int32_t>(piece)) !=
        static_cast<int32_t>(piece)) {
      return RC_INTERNAL_ERROR;
    }
    done += piece;
  }
  return RC_OK;
}

}  // namespace

int32_t ReadEntryData(StreamHandle stream, uint32_t size, uint8_t* out,
                      ProgressCallback progress, QrvUser user) {
  int32_t rc = RC_OK;
  const uint32_t chunk = size / kProgressSteps;
  uint8_t* next = out;
  for (int32_t i = 0; rc == RC_OK && i < kProgressSteps; ++i) {
    if (progress(i, kProgressSteps, user) != 0) rc = RC_ABORTED;
    if (rc == RC_OK) rc = ReadExact(stream, next, chunk);
    next += chunk;
  }
  if (rc == RC_OK) rc = ReadExact(stream, next, size % kProgressSteps);
  if (rc == RC_OK && progress(kProgressSteps, kProgressSteps, user) != 0) rc = RC_ABORTED;
  return rc;
}

bool IsDeviceName(const char* name) {
  for (const char* device : kDeviceNames) {
    if (platform::CompareTextIgnoreCase(name, device) == 0) return true;
  }
  return false;
}

bool BuildOutputPath(const char* dest, const char* name, char (&path)[kOutputPathSize]) {
  size_t destLength = strlen(dest);
  size_t nameLength = strlen(name);
  size_t separator = destLength > 0 ? 1 : 0;
  if (destLength + separator + nameLength + 1 > kOutputPathSize) return false;
  memcpy(path, dest, destLength);
  // A dest already ending in a separator gets a second one: harmless on both.
  if (separator != 0) path[destLength] = kPathSeparator;
  memcpy(path + destLength + separator, name, nameLength + 1);
  return true;
}

int32_t WriteOutputFile(const char* dest, const char* name, const uint8_t* data, uint32_t size) {
  char path[kOutputPathSize];
  // dest\con is the console, dest\nul swallows everything and reports success:
  // such entries are refused on every build, so both behave alike.
  if (IsDeviceName(name) || !BuildOutputPath(dest, name, path)) return RC_INTERNAL_ERROR;
  StreamHandle out = platform::CreateFileWrite(path);
  if (out == nullptr) return RC_INTERNAL_ERROR;
  int32_t rc = WriteAll(out, data, size);
  // The close flushes the buffer: a failed close means the file is incomplete.
  if (platform::Close(out) != 0) rc = RC_INTERNAL_ERROR;
  if (rc != RC_OK) (void)platform::RemoveFile(path);  // already failing: best effort
  return rc;
}

}  // namespace qrv
