// What the end-to-end tests of `qrv` share: running the built program from the
// test's own directory, pictures made by the writer from known samples, and a
// bitmap reader written apart from the host's, to read back what it wrote.
#ifndef QRV_TESTS_HOST_HOST_SUPPORT_H
#define QRV_TESTS_HOST_HOST_SUPPORT_H

#include <cstdint>
#include <string>
#include <vector>

#include "run_program.h"
#include "test_files.h"

namespace qrv::test {

// The path of `qrv` (or qrv.exe) beside the test program.
std::string QrvProgram();
// Runs it with `args`.
RunResult Qrv(const std::vector<std::string>& args, const std::string& workDir = {});

// Samples as the picture writer takes them: rows from the top, width x
// (bits / 8) bytes each, channel 0 first (blue in a bitmap).
struct Samples {
  uint32_t width = 0;
  uint32_t height = 0;
  int bits = 0;
  Bytes bytes;
};

// Random samples with runs mixed in, so that both kinds of run get coded.
Samples MakeSamples(uint32_t width, uint32_t height, int bits, uint32_t seed);
// The picture file of `samples`, by the project's writer.
Bytes EncodeSamples(const Samples& samples, uint64_t splitterSeed = 0);

// A bitmap file taken apart field by field.
struct BitmapFile {
  int32_t width = 0;
  int32_t height = 0;
  int bits = 0;
  uint32_t pixelOffset = 0;
  Bytes colourTable;  // 8-bit: 1024 bytes
  Bytes samples;      // rows from the top, no padding
};

// Reads an uncompressed bottom-up 8- or 24-bit BMP with a 40-byte header and
// checks its layout (file size, offsets, image size, zero padding). Empty on
// success, else what is wrong.
std::string ReadBitmapFile(const Bytes& file, BitmapFile* bitmap);

// A BMP of `samples` written here, for `qrv encode`; `table` (1024 bytes) for
// an 8-bit file.
Bytes WriteBitmapFile(const Samples& samples, const Bytes& table);

// The 256-entry grey ramp as a bitmap colour table.
Bytes GreyTable();

}  // namespace qrv::test

#endif  // QRV_TESTS_HOST_HOST_SUPPORT_H
