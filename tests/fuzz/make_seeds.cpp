// Writes the seed corpus of every fuzz target with the project's writers:
// small valid pictures and archives of each kind, laid out as each target
// takes its input (option bytes first). Usage: fuzz_seeds DIRECTORY; makes
// DIRECTORY/<target>/ for each target.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "archive_writer.h"
#include "picture_writer.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

fs::path g_root;  // tool-only state: the output directory

void Put(const std::string& target, const std::string& name, const Bytes& bytes) {
  fs::path dir = g_root / target;
  fs::create_directories(dir);
  std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    std::fprintf(stderr, "cannot write %s\n", (dir / name).string().c_str());
    std::exit(1);
  }
}

Bytes Prefixed(std::initializer_list<uint8_t> options, const Bytes& payload) {
  Bytes bytes(options);
  bytes.insert(bytes.end(), payload.begin(), payload.end());
  return bytes;
}

Bytes Picture(uint32_t width, uint32_t height, int bits, uint64_t seed) {
  Bytes samples(static_cast<size_t>(width) * height * static_cast<uint32_t>(bits / 8));
  // Smooth ramps with a few jumps: both zero runs and wide codes occur.
  for (size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<uint8_t>((i / 3) * 7 + (i % 17 == 0 ? 90 : 0));
  }
  qrv::writer::PictureOptions options;
  options.randomSeed = seed;
  Bytes out;
  std::string error;
  if (!qrv::writer::EncodePicture(width, height, bits, samples, &out, &error, options)) {
    std::fprintf(stderr, "picture writer: %s\n", error.c_str());
    std::exit(1);
  }
  return out;
}

Bytes Archive(const std::vector<qrv::writer::ArchiveEntry>& entries) {
  Bytes out;
  std::string error;
  if (!qrv::writer::WriteArchive(entries, &out, &error)) {
    std::fprintf(stderr, "archive writer: %s\n", error.c_str());
    std::exit(1);
  }
  return out;
}

Bytes Data(size_t size, uint8_t start) {
  Bytes data(size);
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(start + i * 5);
  return data;
}

void PictureSeeds() {
  struct Shape {
    uint32_t width, height;
    int bits;
    uint64_t seed;
  };
  const Shape shapes[] = {{1, 1, 8, 0},  {3, 2, 24, 0}, {7, 5, 8, 3},
                          {16, 4, 24, 9}, {33, 3, 8, 0}, {5, 9, 24, 0}};
  int n = 0;
  for (const Shape& s : shapes) {
    const Bytes picture = Picture(s.width, s.height, s.bits, s.seed);
    const std::string name = "picture_" + std::to_string(n++);
    Put("image_is_supported", name, picture);
    Put("image_info_memory", name, picture);
    Put("image_info_file", name, Prefixed({static_cast<uint8_t>(n * 3)}, picture));
    Put("image_picture_memory", name, Prefixed({0xff}, picture));
    Put("image_picture_memory", name + "_abort", Prefixed({static_cast<uint8_t>(n - 1)}, picture));
    Put("image_picture_file", name, Prefixed({static_cast<uint8_t>(n * 5)}, picture));
    // The gdk-pixbuf loader: chunks of 1 to 64 bytes, all at once, and a size
    // callback asking for nothing.
    Put("pixbuf_loader", name, Prefixed({static_cast<uint8_t>(n * 9), 0}, picture));
    Put("pixbuf_loader", name + "_whole", Prefixed({0xff, 0}, picture));
    Put("pixbuf_loader", name + "_size_0", Prefixed({6, 0x40}, picture));
    Bytes cut(picture.begin(), picture.begin() + static_cast<long>(picture.size() / 2));
    Put("pixbuf_loader", name + "_cut", Prefixed({0, 0}, cut));
    // The Windows codec: chunk, thumbnail side, rectangle x, y, width,
    // height, stride padding.
    const auto k = static_cast<uint8_t>(n);
    Put("wic_picture", name, Prefixed({static_cast<uint8_t>(k * 9), static_cast<uint8_t>(k * 40), 0, 1,
                                       200, 3, k}, picture));
    Put("wic_picture", name + "_whole", Prefixed({0xff, 255, 5, 0, 1, 255, 3}, picture));
    Put("wic_picture", name + "_cut", Prefixed({7, 2, 0, 0, 0, 0, 0}, cut));
  }
  Put("roundtrip_picture", "gray", {6, 3, 0, 1, 2, 3, 200, 200, 200, 9});
  Put("roundtrip_picture", "colour", {2, 4, 7, 10, 20, 30, 10, 20, 31, 250});
  Put("roundtrip_picture", "wide", {63, 1, 1, 0, 0, 0, 255, 255, 255});
}

void ArchiveSeeds() {
  const std::vector<std::vector<qrv::writer::ArchiveEntry>> sets = {
      {{"abc", Data(100, 1), 0}, {"de_9f", Data(7, 2), 0}},
      {{"a", Data(5, 3), 0x01020304}},
      {{"readme", Data(33, 4), 0}, {"data_01", Data(64, 5), 0}, {"z", Data(1, 6), 0}},
      {{"long_" + std::string(60, 'n'), Data(200, 7), 0}},
  };
  int n = 0;
  for (const auto& entries : sets) {
    const Bytes archive = Archive(entries);
    const std::string name = "archive_" + std::to_string(n++);
    Put("archive_is_supported", name, archive);
    Put("archive_info_memory", name, archive);
    const std::string& wanted = entries.back().name;
    Bytes lookup = {0x00, static_cast<uint8_t>(wanted.size())};
    lookup.insert(lookup.end(), wanted.begin(), wanted.end());
    lookup.insert(lookup.end(), archive.begin(), archive.end());
    Put("archive_file_info", name, lookup);
    lookup[0] = 0x80;
    Put("archive_file_info", name + "_nocase", lookup);
    Put("archive_get_file_memory", name, Prefixed({0xff}, archive));
    Put("archive_get_file_memory", name + "_abort", Prefixed({static_cast<uint8_t>(n * 7)}, archive));
    Put("archive_get_file_file", name, Prefixed({0xff}, archive));
  }
  Put("roundtrip_archive", "two", {3, 0, 1, 2, 99, 7, 5, 10, 11, 12, 13, 14, 6, 1});
  Put("roundtrip_archive", "same_names", {1, 10, 4, 0, 1, 10, 8, 9});
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fuzz_seeds DIRECTORY\n");
    return 2;
  }
  g_root = argv[1];
  PictureSeeds();
  ArchiveSeeds();
  return 0;
}
