#include "host_support.h"

#include <cstring>
#include <random>

#include "picture_writer.h"
#include "plugin_library.h"

namespace qrv::test {
namespace {

uint32_t Le16(const Bytes& b, size_t at) { return b[at] | (b[at + 1] << 8); }
uint32_t Le32(const Bytes& b, size_t at) { return Le16(b, at) | (Le16(b, at + 2) << 16); }

void PutLe(Bytes* b, size_t at, uint32_t value, int size) {
  for (int i = 0; i < size; ++i) (*b)[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

std::string QrvProgram() { return ProgramDirectory() + QRV_HOST_NAME; }

RunResult Qrv(const std::vector<std::string>& args, const std::string& workDir) {
  return RunProgram(QrvProgram(), args, workDir);
}

Samples MakeSamples(uint32_t width, uint32_t height, int bits, uint32_t seed) {
  Samples s{width, height, bits, Bytes(static_cast<size_t>(width) * height * (bits / 8))};
  std::mt19937 random(seed);
  for (size_t i = 0; i < s.bytes.size(); ++i) {
    // Every fourth stretch repeats the byte before it: zero runs.
    bool repeat = i > 0 && (random() % 4 == 0);
    s.bytes[i] = repeat ? s.bytes[i - 1] : static_cast<uint8_t>(random());
  }
  return s;
}

Bytes EncodeSamples(const Samples& samples, uint64_t splitterSeed) {
  Bytes out;
  std::string error;
  writer::PictureOptions options;
  options.randomSeed = splitterSeed;
  if (!writer::EncodePicture(samples.width, samples.height, samples.bits, samples.bytes, &out,
                             &error, options)) {
    out.clear();
  }
  return out;
}

Bytes GreyTable() {
  Bytes table(1024, 0);
  for (int i = 0; i < 256; ++i) table[i * 4] = table[i * 4 + 1] = table[i * 4 + 2] = uint8_t(i);
  return table;
}

std::string ReadBitmapFile(const Bytes& file, BitmapFile* bitmap) {
  if (file.size() < 54) return "shorter than the two headers";
  if (file[0] != 'B' || file[1] != 'M') return "no BM signature";
  if (Le32(file, 2) != file.size()) return "file size field " + std::to_string(Le32(file, 2));
  if (Le32(file, 6) != 0) return "reserved fields not zero";
  if (Le32(file, 14) != 40) return "info header size " + std::to_string(Le32(file, 14));
  bitmap->width = static_cast<int32_t>(Le32(file, 18));
  bitmap->height = static_cast<int32_t>(Le32(file, 22));
  bitmap->bits = static_cast<int>(Le16(file, 28));
  if (Le16(file, 26) != 1) return "planes not 1";
  if (Le32(file, 30) != 0) return "compressed";
  if (bitmap->width <= 0 || bitmap->height <= 0) return "not a bottom-up bitmap";
  if (bitmap->bits != 8 && bitmap->bits != 24) return "depth " + std::to_string(bitmap->bits);
  const size_t bytesPerPixel = static_cast<size_t>(bitmap->bits / 8);
  const size_t rowBytes = bitmap->width * bytesPerPixel;
  const size_t stride = (rowBytes + 3) / 4 * 4;
  const size_t tableSize = bitmap->bits == 8 ? 1024 : 0;
  bitmap->pixelOffset = Le32(file, 10);
  if (bitmap->pixelOffset != 54 + tableSize) return "pixel offset " + std::to_string(bitmap->pixelOffset);
  if (Le32(file, 34) != stride * bitmap->height) return "image size field";
  if (file.size() != bitmap->pixelOffset + stride * bitmap->height) return "file length";
  bitmap->colourTable.assign(file.begin() + 54, file.begin() + 54 + tableSize);
  bitmap->samples.clear();
  for (int32_t y = bitmap->height - 1; y >= 0; --y) {
    const uint8_t* row = &file[bitmap->pixelOffset + y * stride];
    bitmap->samples.insert(bitmap->samples.end(), row, row + rowBytes);
    for (size_t pad = rowBytes; pad < stride; ++pad) {
      if (row[pad] != 0) return "nonzero padding in row " + std::to_string(y);
    }
  }
  return {};
}

Bytes WriteBitmapFile(const Samples& samples, const Bytes& table) {
  const size_t bytesPerPixel = static_cast<size_t>(samples.bits / 8);
  const size_t rowBytes = samples.width * bytesPerPixel;
  const size_t stride = (rowBytes + 3) / 4 * 4;
  const size_t offset = 54 + table.size();
  Bytes file(offset + stride * samples.height, 0);
  file[0] = 'B';
  file[1] = 'M';
  PutLe(&file, 2, static_cast<uint32_t>(file.size()), 4);
  PutLe(&file, 10, static_cast<uint32_t>(offset), 4);
  PutLe(&file, 14, 40, 4);
  PutLe(&file, 18, samples.width, 4);
  PutLe(&file, 22, samples.height, 4);
  PutLe(&file, 26, 1, 2);
  PutLe(&file, 28, static_cast<uint32_t>(samples.bits), 2);
  if (!table.empty()) std::memcpy(&file[54], table.data(), table.size());
  for (uint32_t y = 0; y < samples.height; ++y) {
    std::memcpy(&file[offset + (samples.height - 1 - y) * stride], &samples.bytes[y * rowBytes],
                rowBytes);
  }
  return file;
}

}  // namespace qrv::test
