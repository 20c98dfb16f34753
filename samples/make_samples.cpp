// Makes the bundled samples with the project's own writers: a small 24-bit
// picture (sample.qcg) and a small archive (sample.dat) holding a text, the
// same picture and a run of numbers. Run by the build; the output directory is
// its only argument.
#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "archive_writer.h"
#include "picture_writer.h"

namespace {

constexpr uint32_t kWidth = 96;
constexpr uint32_t kHeight = 64;

// A colour wheel behind a bright ring: smooth gradients and hard edges.
std::vector<uint8_t> DrawPicture() {
  std::vector<uint8_t> samples(kWidth * kHeight * 3);
  const double cx = kWidth / 2.0, cy = kHeight / 2.0;
  for (uint32_t y = 0; y < kHeight; ++y) {
    for (uint32_t x = 0; x < kWidth; ++x) {
      double dx = x - cx, dy = y - cy;
      double radius = std::sqrt(dx * dx + dy * dy);
      double angle = std::atan2(dy, dx);
      uint8_t* pixel = &samples[(y * kWidth + x) * 3];
      bool ring = radius > 22 && radius < 26;
      // Blue, green, red.
      pixel[0] = ring ? 255 : static_cast<uint8_t>(127.5 + 127.5 * std::cos(angle + 4.19));
      pixel[1] = ring ? 255 : static_cast<uint8_t>(127.5 + 127.5 * std::cos(angle + 2.09));
      pixel[2] = ring ? 255 : static_cast<uint8_t>(127.5 + 127.5 * std::cos(angle));
    }
  }
  return samples;
}

bool Save(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: qrv_make_samples OUTPUT_DIR\n");
    return 2;
  }
  const std::string dir = argv[1];
  std::string error;
  std::vector<uint8_t> picture;
  if (!qrv::writer::EncodePicture(kWidth, kHeight, 24, DrawPicture(), &picture, &error)) {
    std::fprintf(stderr, "sample picture: %s\n", error.c_str());
    return 1;
  }
  const std::string text =
      "This archive was packed by the Quorvanel sample generator.\n"
      "List it with `qrv list sample.dat`, unpack it with `qrv extract sample.dat`.\n";
  std::vector<uint8_t> numbers;
  for (int i = 0; i < 1000; ++i) numbers.push_back(static_cast<uint8_t>(i * 7));
  std::vector<qrv::writer::ArchiveEntry> entries = {
      {"readme", std::vector<uint8_t>(text.begin(), text.end())},
      {"sample_picture", picture},
      {"numbers", numbers},
  };
  std::vector<uint8_t> archive;
  if (!qrv::writer::WriteArchive(entries, &archive, &error)) {
    std::fprintf(stderr, "sample archive: %s\n", error.c_str());
    return 1;
  }
  if (!Save(dir + "/sample.qcg", picture) || !Save(dir + "/sample.dat", archive)) {
    std::fprintf(stderr, "cannot write the samples into %s\n", dir.c_str());
    return 1;
  }
  return 0;
}
