#include "wic_cases.h"

#include <cstdio>
#include <cstdlib>

#include "picture_writer.h"

namespace qrv::test {
namespace {

Bytes Encode(uint32_t width, uint32_t height, int bits, const Bytes& samples,
             const writer::PictureOptions& options = {}) {
  Bytes out;
  std::string error;
  if (!writer::EncodePicture(width, height, bits, samples, &out, &error, options)) {
    std::fprintf(stderr, "picture writer: %s\n", error.c_str());
    std::abort();
  }
  return out;
}

// Ramps with a few jumps, different in every channel: runs of equal samples
// and wide codes both occur.
Bytes MakeSamples(uint32_t width, uint32_t height, int bits) {
  const uint32_t channels = static_cast<uint32_t>(bits / 8);
  Bytes samples(size_t{width} * height * channels);
  size_t i = 0;
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      for (uint32_t c = 0; c < channels; ++c) {
        samples[i++] = static_cast<uint8_t>((x * 7 + y * 13 + c * 50) ^ ((x * y) & 0x1f));
      }
    }
  }
  return samples;
}

}  // namespace

std::vector<PictureCase> PictureCases() {
  struct Shape {
    const char* name;
    uint32_t width, height;
    int bits;
  };
  const Shape shapes[] = {
      {"8-bit 1x1", 1, 1, 8},        {"8-bit 7x5", 7, 5, 8},       {"8-bit 33x3", 33, 3, 8},
      {"24-bit 16x9", 16, 9, 24},    {"24-bit 5x7", 5, 7, 24},     {"24-bit 1x1", 1, 1, 24},
      {"tall 8-bit 3x200", 3, 200, 8}, {"wide 24-bit 301x2", 301, 2, 24},
  };
  std::vector<PictureCase> cases;
  for (const Shape& s : shapes) {
    Bytes samples = MakeSamples(s.width, s.height, s.bits);
    Bytes file = Encode(s.width, s.height, s.bits, samples);
    cases.push_back({s.name, s.width, s.height, s.bits, std::move(samples), std::move(file)});
  }
  return cases;
}

std::vector<DamagedCase> DamagedCases() {
  const Bytes good = Encode(37, 21, 24, MakeSamples(37, 21, 24));
  std::vector<DamagedCase> cases;
  auto edited = [&](const char* name, size_t at, uint8_t value) {
    Bytes bytes = good;
    bytes[at] = value;
    cases.push_back({name, bytes, Failure::kNotPicture});
  };
  cases.push_back({"empty", {}, Failure::kNotPicture});
  cases.push_back({"header cut", Bytes(good.begin(), good.begin() + 9), Failure::kNotPicture});
  edited("bad signature", 6, 'X');
  edited("depth 16", 11, 16);
  Bytes zeroWidth = good;
  zeroWidth[7] = zeroWidth[8] = 0;
  cases.push_back({"zero width", zeroWidth, Failure::kNotPicture});
  writer::PictureOptions oversized;
  oversized.overrideStoredSize = true;
  oversized.storedSize = 37 * 21 * 3 + 1;
  cases.push_back({"stored size too big", Encode(37, 21, 24, MakeSamples(37, 21, 24), oversized),
                   Failure::kNotPicture});
  // 65535 x 65535 pixels: a valid header, far over the limit.
  Bytes huge = {1, 0, 0, 0, 'Q', 'R', 'V', 0xff, 0xff, 0xff, 0xff, 24};
  huge.resize(64, 0x55);
  cases.push_back({"over the pixel limit", huge, Failure::kTooLarge});
  cases.push_back({"rows cut", Bytes(good.begin(), good.begin() + static_cast<long>(good.size() * 3 / 5)),
                   Failure::kEndsEarly});
  cases.push_back({"only the header", Bytes(good.begin(), good.begin() + 12), Failure::kEndsEarly});
  // Zero bits make a run-length prefix longer than any row allows.
  Bytes damaged(good.begin(), good.begin() + 12);
  damaged.resize(damaged.size() + 64, 0);
  cases.push_back({"codes damaged", damaged, Failure::kDamaged});
  return cases;
}

}  // namespace qrv::test
