// Writes one table of archives for every test that shows an archive's entries
// (the mount test and the web page's browser test), and archives.json
// describing them. Usage: qrv_test_archives DIRECTORY.
//
// Each row: "file"; "pack", the input files `qrv pack` makes it from (else the
// archive writer made it here); "refused", what `qrv list` says of a damaged
// archive (else null); "pictures" and "damaged_pictures", the names (as listed)
// of the entries whose bytes are a Quorvanel CG picture, whole or cut short:
// every entry listed under such a name is one.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "archive_writer.h"
#include "picture_writer.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using qrv::writer::ArchiveEntry;

Bytes Noise(size_t size, uint64_t seed) {
  Bytes bytes(size);
  uint64_t state = seed * 0x9e3779b97f4a7c15u + 1;
  for (uint8_t& byte : bytes) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    byte = static_cast<uint8_t>(state >> 24);
  }
  return bytes;
}

Bytes Picture(uint32_t width, uint32_t height, int bits, uint64_t seed) {
  Bytes samples = Noise(size_t{width} * height * static_cast<uint32_t>(bits / 8), seed);
  for (size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<uint8_t>(i / 3 + (samples[i] & 15));  // gradients with noise
  }
  Bytes out;
  std::string error;
  if (!qrv::writer::EncodePicture(width, height, bits, samples, &out, &error)) {
    std::fprintf(stderr, "picture writer: %s\n", error.c_str());
    std::exit(1);
  }
  return out;
}

void Put(const fs::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    std::exit(1);
  }
}

Bytes Archive(const std::vector<ArchiveEntry>& entries) {
  Bytes out;
  std::string error;
  if (!qrv::writer::WriteArchive(entries, &out, &error)) {
    std::fprintf(stderr, "archive writer: %s\n", error.c_str());
    std::exit(1);
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: qrv_test_archives DIRECTORY\n");
    return 2;
  }
  const fs::path root = argv[1];
  fs::create_directories(root / "pack");
  nlohmann::ordered_json rows = nlohmann::ordered_json::array();
  auto row = [&](const std::string& file, const char* refused,
                 std::vector<std::string> pictures = {}, std::vector<std::string> damaged = {}) {
    rows.push_back({{"file", file},
                    {"refused", refused != nullptr ? nlohmann::ordered_json(refused) : nullptr},
                    {"pictures", pictures},
                    {"damaged_pictures", damaged}});
  };
  const Bytes photo = Picture(161, 97, 24, 1);
  const Bytes grey = Picture(33, 17, 8, 2);

  // Pictures among other entries; one picture cut short; a second word set.
  const Bytes mixed = Archive({{"photo", photo},
                               {"grey", grey},
                               {"broken", Bytes(photo.begin(), photo.begin() + 400)},
                               {"readme", Bytes(3000, 'r')},
                               {"noise", Noise(5000, 3), 0xdeadbeef},
                               {"x", Bytes(1, 'x')}});
  Put(root / "mixed.dat", mixed);
  row("mixed.dat", nullptr, {"photo", "grey"}, {"broken"});

  Put(root / "duplicates.dat", Archive({{"same", Bytes(10, 1)},
                                        {"other", Bytes(20, 2)},
                                        {"same", Bytes(30, 3)},
                                        {"same", Bytes(40, 4)},
                                        {"other", Bytes(50, 5)}}));
  row("duplicates.dat", nullptr);

  // Names of 1, 199, 200 and 65,535 characters. The listing keeps the first
  // 199, so "b" x 200 repeats the listed name of "b" x 65,535, and "c" x
  // 65,535 that of "c" x 199.
  Put(root / "names.dat", Archive({{"z", Bytes(7, 'z')},
                                   {std::string(65535, 'b'), Noise(900, 4)},
                                   {std::string(200, 'b'), Bytes(9, 'b')},
                                   {std::string(199, 'c'), Bytes(11, 'c')},
                                   {std::string(65535, 'c'), Noise(700, 5)}}));
  row("names.dat", nullptr);

  Put(root / "large.dat", Archive({{"large", Noise(48u << 20, 6)}, {"after", Bytes(33, 'a')}}));
  row("large.dat", nullptr);

  // `qrv pack` names its entries after the files, lower-cased, "." as "_".
  // Two names say the opposite of what the bytes are.
  const std::vector<std::pair<std::string, Bytes>> inputs = {{"Notes.QCG", Bytes(500, 'n')},
                                                             {"Read.me", Bytes(60, 'm')},
                                                             {"Picture.txt", grey},
                                                             {"a", Bytes(1, 'a')}};
  nlohmann::ordered_json packed = nlohmann::ordered_json::array();
  for (const auto& [name, bytes] : inputs) {
    Put(root / "pack" / name, bytes);
    packed.push_back("pack/" + name);
  }
  row("packed.dat", nullptr, {"picture_txt"});
  rows.back()["pack"] = packed;

  // Damaged: each refused with what `qrv list` says.
  Put(root / "cut.dat", Bytes(mixed.begin(), mixed.end() - 100));
  row("cut.dat", "archive ends early");
  Bytes badName = Archive({{"first", Noise(3000, 7)}, {"bad_name", Bytes(5, 1)}});
  badName[10 + 5 + 3000 + 10 + 3] = '.';  // past the 2048 bytes detection looks at
  Put(root / "bad_name.dat", badName);
  row("bad_name.dat", "not a Quorvanel Archive, or a damaged entry");
  Put(root / "picture.dat", photo);
  row("picture.dat", "not a Quorvanel Archive");
  Bytes trailing = Archive({{"first", Noise(3000, 8)}});
  trailing.insert(trailing.end(), {'m', 'o', 'r', 'e'});
  Put(root / "trailing.dat", trailing);
  row("trailing.dat", "not a Quorvanel Archive, or a damaged entry");

  std::ofstream json(root / "archives.json", std::ios::trunc);
  json << nlohmann::ordered_json{{"archives", rows}}.dump(2) << '\n';
  return json ? 0 : 1;
}
