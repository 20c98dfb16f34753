// Writes the pictures the desktop tests run through every toolkit path, made by
// the project's writers, and a manifest of what each should give. Usage:
// qrv_desktop_pictures DIRECTORY. Manifest lines: NAME WIDTH HEIGHT BITS EXPECT,
// EXPECT being "ok" or the failure the file should give: not_picture,
// ends_early, damaged.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "archive_writer.h"
#include "picture_writer.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

fs::path g_root;         // tool-only state: the output directory
std::ofstream g_manifest;

void Put(const std::string& name, const Bytes& bytes) {
  std::ofstream out(g_root / name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    std::fprintf(stderr, "cannot write %s\n", (g_root / name).string().c_str());
    std::exit(1);
  }
}

void Note(const std::string& name, uint32_t width, uint32_t height, int bits,
          const char* expect) {
  g_manifest << name << ' ' << width << ' ' << height << ' ' << bits << ' ' << expect << '\n';
}

// Ramps in every direction and channel, with scattered jumps: the writer then
// uses zero runs, narrow and wide codes.
Bytes Picture(uint32_t width, uint32_t height, int bits, uint64_t seed,
              const qrv::writer::PictureOptions& extra = {}) {
  const uint32_t channels = static_cast<uint32_t>(bits / 8);
  Bytes samples(static_cast<size_t>(width) * height * channels);
  uint64_t noise = seed * 2654435761u + 1;
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      for (uint32_t c = 0; c < channels; ++c) {
        noise = noise * 6364136223846793005u + 1442695040888963407u;
        uint32_t value = x * 7 + y * 13 + c * 85;
        if ((noise >> 59) == 0) value += static_cast<uint32_t>(noise >> 40);
        samples[(static_cast<size_t>(y) * width + x) * channels + c] = static_cast<uint8_t>(value);
      }
    }
  }
  qrv::writer::PictureOptions options = extra;
  options.randomSeed = seed;
  Bytes out;
  std::string error;
  if (!qrv::writer::EncodePicture(width, height, bits, samples, &out, &error, options)) {
    std::fprintf(stderr, "picture writer: %s\n", error.c_str());
    std::exit(1);
  }
  return out;
}

void GoodPictures() {
  struct Shape {
    const char* name;
    uint32_t width, height;
    int bits;
    uint64_t seed;
  };
  // Odd widths (rows padded in the filter's bitmap), 1-pixel edges, a picture
  // bigger than a 128-pixel thumbnail and bigger than gdk-pixbuf's 4 KiB sniff.
  const Shape shapes[] = {
      {"grey_1x1.qcg", 1, 1, 8, 0},       {"grey_7x5.qcg", 7, 5, 8, 0},
      {"grey_33x17.qcg", 33, 17, 8, 5},   {"grey_255x9.qcg", 255, 9, 8, 0},
      {"rgb_1x1.qcg", 1, 1, 24, 0},       {"rgb_5x3.qcg", 5, 3, 24, 0},
      {"rgb_37x21.qcg", 37, 21, 24, 7},   {"rgb_3x40.qcg", 3, 40, 24, 0},
      {"rgb_161x97.qcg", 161, 97, 24, 11},
  };
  for (const Shape& s : shapes) {
    Put(s.name, Picture(s.width, s.height, s.bits, s.seed));
    Note(s.name, s.width, s.height, s.bits, "ok");
  }
}

void BadPictures() {
  const Bytes good = Picture(37, 21, 24, 3);
  Bytes bytes = good;
  bytes[6] = 'X';
  Put("bad_signature.qcg", bytes);
  Note("bad_signature.qcg", 0, 0, 0, "not_picture");
  bytes = good;
  bytes[11] = 16;
  Put("bad_depth.qcg", bytes);
  Note("bad_depth.qcg", 0, 0, 0, "not_picture");
  bytes = good;
  bytes[7] = bytes[8] = 0;
  Put("zero_width.qcg", bytes);
  Note("zero_width.qcg", 0, 0, 0, "not_picture");
  qrv::writer::PictureOptions oversized;
  oversized.overrideStoredSize = true;
  oversized.storedSize = 37 * 21 * 3 + 1;
  Put("stored_size_too_big.qcg", Picture(37, 21, 24, 3, oversized));
  Note("stored_size_too_big.qcg", 0, 0, 0, "not_picture");
  Put("header_cut.qcg", Bytes(good.begin(), good.begin() + 9));
  Note("header_cut.qcg", 0, 0, 0, "ends_early");
  Put("rows_cut.qcg", Bytes(good.begin(), good.begin() + static_cast<long>(good.size() * 3 / 5)));
  Note("rows_cut.qcg", 37, 21, 24, "ends_early");
  // Zero bits make a run-length prefix longer than any row allows.
  bytes.assign(good.begin(), good.begin() + 12);
  bytes.resize(bytes.size() + 64, 0);
  Put("stream_damaged.qcg", bytes);
  Note("stream_damaged.qcg", 37, 21, 24, "damaged");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: qrv_desktop_pictures DIRECTORY\n");
    return 2;
  }
  g_root = argv[1];
  fs::create_directories(g_root);
  g_manifest.open(g_root / "manifest.txt", std::ios::trunc);
  GoodPictures();
  BadPictures();
  // An archive, for the MIME type that goes by extension alone.
  Bytes archive;
  std::string error;
  if (!qrv::writer::WriteArchive({{"readme", Bytes(40, 'r')}, {"data_1", Bytes(9, 7)}}, &archive,
                                 &error)) {
    std::fprintf(stderr, "archive writer: %s\n", error.c_str());
    return 1;
  }
  Put("archive.dat", archive);
  g_manifest.close();
  return g_manifest ? 0 : 1;
}
