// End-to-end tests of `qrv` on archives the plug-in once refused or misread:
// archives packed by `qrv pack` whose entries cross the 2048-byte detection
// head, and (on Linux) file names with backslashes, ordinary characters there.
#include <gtest/gtest.h>

#include <filesystem>

#include "archive_writer.h"
#include "host_files.h"
#include "host_support.h"

namespace qrv::test {
namespace {
namespace fs = std::filesystem;

struct PackedFile {
  std::string name;  // already a valid entry name, so that it is stored as is
  Bytes data;
};

// Writes `files` into `dir`, packs them with `qrv pack`, then lists and
// extracts the archive: every entry must be listed and come back byte-exact.
void PackListAndExtract(const std::string& dir, const std::vector<PackedFile>& files) {
  std::vector<std::string> pack = {"pack", "t.dat"};
  for (const PackedFile& file : files) {
    WriteFileBytes((fs::path(dir) / file.name).string(), file.data);
    pack.push_back(file.name);
  }
  // Relative names from inside `dir` keep a long command line short.
  RunResult run = Qrv(pack, dir);
  ASSERT_EQ(run.status, 0) << run.err;
  run = Qrv({"list", "t.dat"}, dir);
  ASSERT_EQ(run.status, 0) << run.err;
  size_t lines = 0;
  for (char c : run.out) lines += c == '\n' ? 1 : 0;
  EXPECT_EQ(lines, files.size() + 1) << "a heading and one line per entry";
  run = Qrv({"extract", "t.dat", "-C", "out"}, dir);
  ASSERT_EQ(run.status, 0) << run.err;
  for (const PackedFile& file : files) {
    ASSERT_EQ(ReadFileBytes((fs::path(dir) / "out" / file.name).string()), file.data) << file.name;
  }
}

TEST(HeadBoundary, ArchivesWhoseEntriesCrossByte2048ListAndExtract) {
  // A first entry "a" of 11 + size bytes puts the second entry's header at
  // 11 + size: the head's end then cuts its name, header or data size, or
  // falls exactly before it.
  struct Row {
    size_t firstSize;
    const char* cut;
  };
  const Row rows[] = {
      {2020, "the second name"}, {2027, "just before the second name"},
      {2030, "the second header"}, {2034, "the second data size"},
      {2037, "nothing: the second entry starts at 2048"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.cut);
    std::string dir = FreshDir("head-" + std::to_string(row.firstSize));
    PackListAndExtract(dir, {{"a", Bytes(row.firstSize, 0)}, {"second_entry", Text("hi\n")}});
  }
}

TEST(HeadBoundary, ThreeHundredSmallFilesListAndExtract) {
  // Names of 5 characters and 1 to 7 lines of 7 bytes: the 49th entry starts
  // at byte 2043, so the head's end cuts its header.
  std::vector<PackedFile> files;
  for (int i = 0; i < 300; ++i) {
    std::string line = std::to_string(100000 + i).substr(0, 6) + "\n";
    std::string text;
    for (int k = 0; k <= i % 7; ++k) text += line;
    files.push_back({"f" + std::to_string(1000 + i), Text(text)});
  }
  PackListAndExtract(FreshDir("pack-300"), files);
}

#if !defined(_WIN32)
Bytes ArchiveOf(const std::string& name, const std::string& text) {
  Bytes out;
  std::string error;
  EXPECT_TRUE(writer::WriteArchive({{name, Text(text)}}, &out, &error)) << error;
  return out;
}

// Before, a backslash was read as '/': `back\slash.dat` opened back/slash.dat
// and `-C 'o\ut'` wrote into o/ut.
TEST(Paths, BackslashesAreOrdinaryCharactersOnLinux) {
  std::string dir = FreshDir("backslash");
  fs::create_directories(dir + "/back");
  WriteFileBytes(dir + "/back/slash.dat", ArchiveOf("decoy", "the wrong file"));
  std::string archive = dir + "/back\\slash.dat";
  WriteFileBytes(archive, ArchiveOf("right", "the named file"));

  RunResult run = Qrv({"list", archive});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("right"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("decoy"), std::string::npos) << run.out;

  std::string out = dir + "/o\\ut";
  run = Qrv({"extract", archive, "-C", out});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(ReadFileBytes(out + "/right"), Text("the named file"));
  EXPECT_FALSE(fs::exists(dir + "/o")) << "nothing written into o/ut";

  Samples samples = MakeSamples(5, 3, 24, 1);
  std::string picture = dir + "/pic\\ture.qcg";
  WriteFileBytes(picture, EncodeSamples(samples));
  run = Qrv({"convert", picture, dir + "/p.bmp"});
  ASSERT_EQ(run.status, 0) << run.err;
  BitmapFile bitmap;
  ASSERT_EQ(ReadBitmapFile(ReadFileBytes(dir + "/p.bmp"), &bitmap), "");
  EXPECT_EQ(bitmap.samples, samples.bytes);

  // With the named file gone, back/slash.dat does not stand in for it.
  fs::remove(archive);
  run = Qrv({"list", archive});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out.find("decoy"), std::string::npos) << run.out;
}
#endif

}  // namespace
}  // namespace qrv::test
