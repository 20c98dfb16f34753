// End-to-end tests of `qrv`: the built program is run as a child process on
// files made by the project's writers, with the plug-ins loaded from beside it,
// and what it writes is read back independently (a bitmap reader of the test's
// own, libpng where the build has it).
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <random>

#include "archive_writer.h"
#include "host_support.h"

#if defined(QRV_TEST_HAVE_PNG)
#include <png.h>
#endif

#if !defined(_WIN32)
#include <signal.h>
#include <unistd.h>
#endif

namespace qrv::test {
namespace {
namespace fs = std::filesystem;

// A fresh, empty directory under the scratch directory.
std::string FreshDir(const std::string& name) {
  std::string path = ScratchPath(name);
  fs::remove_all(path);
  fs::create_directories(path);
  return path;
}

std::string Join(const std::string& dir, const std::string& name) {
  return (fs::path(dir) / name).string();
}

std::vector<std::string> Listing(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// "p<i><suffix>", built by appending: GCC 12 warns falsely (-Wrestrict) on
// "p" + std::to_string(i).
std::string Numbered(uint32_t i, const char* suffix) {
  std::string name = "p";
  name += std::to_string(i);
  return name + suffix;
}

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes MakeArchive(const std::vector<writer::ArchiveEntry>& entries) {
  Bytes out;
  std::string error;
  EXPECT_TRUE(writer::WriteArchive(entries, &out, &error)) << error;
  return out;
}

// Entries of mixed sizes: one below 32 bytes (only the last piece of the
// extraction carries data), one above the 2048-byte head.
std::vector<writer::ArchiveEntry> SampleEntries() {
  Bytes big(5000);
  std::mt19937 random(7);
  for (uint8_t& b : big) b = static_cast<uint8_t>(random());
  return {{"abc", Text("first entry, with some text in it")},
          {"big_one", big},
          {"z9", Text("7 bytes")}};
}

#if defined(QRV_TEST_HAVE_PNG)
// A PNG read back through libpng's own reader, in the given output format.
bool ReadPng(const std::string& path, uint32_t format, Samples* samples, uint32_t* fileFormat) {
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
  *fileFormat = image.format;
  image.format = format;
  samples->width = image.width;
  samples->height = image.height;
  samples->bytes.assign(PNG_IMAGE_SIZE(image), 0);
  return png_image_finish_read(&image, nullptr, samples->bytes.data(), 0, nullptr) != 0;
}

bool WritePng(const std::string& path, uint32_t format, uint32_t width, uint32_t height,
              const Bytes& bytes) {
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  image.width = width;
  image.height = height;
  image.format = format;
  return png_image_write_to_file(&image, path.c_str(), 0, bytes.data(), 0, nullptr) != 0;
}
#endif

struct PictureCase {
  uint32_t width;
  uint32_t height;
  int bits;
  uint64_t splitter;  // 0: the writer's default runs
};

const PictureCase kPictures[] = {
    {1, 1, 8, 0},  {3, 2, 24, 0},   {17, 5, 8, 0},   {33, 9, 24, 0},
    {64, 48, 24, 3}, {5, 31, 8, 11}, {255, 3, 24, 0}, {2, 2, 8, 0},
};

std::string CaseName(const PictureCase& c) {
  return std::to_string(c.width) + "x" + std::to_string(c.height) + "x" + std::to_string(c.bits);
}

TEST(Convert, BitmapOutputHoldsTheWriterSamples) {
  std::string dir = FreshDir("convert-bmp");
  for (const PictureCase& c : kPictures) {
    SCOPED_TRACE(CaseName(c));
    Samples samples = MakeSamples(c.width, c.height, c.bits, c.width * 31 + c.height);
    std::string in = Join(dir, CaseName(c) + ".qcg");
    WriteFileBytes(in, EncodeSamples(samples, c.splitter));
    std::string out = Join(dir, CaseName(c) + ".bmp");
    RunResult run = Qrv({"convert", in, out});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    BitmapFile bitmap;
    ASSERT_EQ(ReadBitmapFile(ReadFileBytes(out), &bitmap), "");
    EXPECT_EQ(bitmap.width, static_cast<int32_t>(c.width));
    EXPECT_EQ(bitmap.height, static_cast<int32_t>(c.height));
    EXPECT_EQ(bitmap.bits, c.bits);
    EXPECT_EQ(bitmap.samples, samples.bytes);
    if (c.bits == 8) {
      EXPECT_EQ(bitmap.colourTable, GreyTable());
    }
  }
}

#if defined(QRV_TEST_HAVE_PNG)
TEST(Convert, PngOutputHoldsTheWriterSamples) {
  std::string dir = FreshDir("convert-png");
  for (const PictureCase& c : kPictures) {
    SCOPED_TRACE(CaseName(c));
    Samples samples = MakeSamples(c.width, c.height, c.bits, c.width * 17 + c.height);
    std::string in = Join(dir, CaseName(c) + ".qcg");
    WriteFileBytes(in, EncodeSamples(samples, c.splitter));
    std::string out = Join(dir, CaseName(c) + ".png");
    RunResult run = Qrv({"convert", in, out});
    ASSERT_EQ(run.status, 0) << run.err;
    Samples back;
    uint32_t fileFormat = 0;
    ASSERT_TRUE(ReadPng(out, c.bits == 8 ? PNG_FORMAT_GRAY : PNG_FORMAT_BGR, &back, &fileFormat));
    // The grey ramp of an 8-bit picture makes a greyscale PNG.
    EXPECT_EQ(fileFormat, c.bits == 8 ? PNG_FORMAT_GRAY : PNG_FORMAT_RGB);
    EXPECT_EQ(back.width, c.width);
    EXPECT_EQ(back.height, c.height);
    EXPECT_EQ(back.bytes, samples.bytes);
  }
}

TEST(Convert, DefaultOutputReplacesTheExtension) {
  std::string dir = FreshDir("convert-default");
  Samples samples = MakeSamples(9, 4, 24, 1);
  WriteFileBytes(Join(dir, "pic.qcg"), EncodeSamples(samples));
  WriteFileBytes(Join(dir, "noext"), EncodeSamples(samples));
  ASSERT_EQ(Qrv({"convert", Join(dir, "pic.qcg")}).status, 0);
  ASSERT_EQ(Qrv({"convert", Join(dir, "noext")}).status, 0);
  EXPECT_EQ(Listing(dir), (std::vector<std::string>{"noext", "noext.png", "pic.png", "pic.qcg"}));
}
#elif defined(QRV_TEST_QRV_WITHOUT_PNG)
TEST(Convert, PngIsRefusedClearlyWithoutLibpng) {
  std::string dir = FreshDir("convert-nopng");
  WriteFileBytes(Join(dir, "pic.qcg"), EncodeSamples(MakeSamples(4, 4, 8, 1)));
  RunResult run = Qrv({"convert", Join(dir, "pic.qcg"), Join(dir, "pic.png")});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("PNG files are not supported by this build"), std::string::npos) << run.err;
  EXPECT_EQ(Listing(dir), std::vector<std::string>{"pic.qcg"});
}
#endif

TEST(Convert, SeveralPicturesIntoADirectoryInParallel) {
  std::string dir = FreshDir("convert-many");
  std::string outDir = Join(dir, "made/below");  // created by qrv
  std::vector<std::string> args = {"convert"};
  std::vector<Samples> all;
  for (uint32_t i = 0; i < 12; ++i) {
    all.push_back(MakeSamples(10 + i, 7 + i, i % 2 ? 8 : 24, i));
    std::string in = Join(dir, Numbered(i, ".qcg"));
    WriteFileBytes(in, EncodeSamples(all.back()));
    args.push_back(in);
  }
  for (const char* option : {"-o", outDir.c_str(), "--format", "bmp", "-j", "4"}) args.push_back(option);
  RunResult run = Qrv(args);
  ASSERT_EQ(run.status, 0) << run.err;
  for (uint32_t i = 0; i < all.size(); ++i) {
    BitmapFile bitmap;
    ASSERT_EQ(ReadBitmapFile(ReadFileBytes(Join(outDir, Numbered(i, ".bmp"))), &bitmap), "");
    EXPECT_EQ(bitmap.samples, all[i].bytes) << "picture " << i;
  }
  EXPECT_EQ(Listing(outDir).size(), all.size());
}

TEST(Encode, BitmapInputBecomesAPictureOfTheRightDepth) {
  std::string dir = FreshDir("encode-bmp");
  struct Row {
    const char* name;
    int bits;
    bool colourTable;  // an 8-bit file with colours: looked up into 24 bits
    int expectedBits;
  };
  const Row rows[] = {{"grey8", 8, false, 8}, {"colour8", 8, true, 24}, {"rgb24", 24, false, 24}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Samples samples = MakeSamples(13, 6, row.bits, 5);
    Bytes table = GreyTable();
    if (row.colourTable) {
      for (int i = 0; i < 256; ++i) table[i * 4 + 2] = static_cast<uint8_t>(255 - i);
    }
    std::string bmp = Join(dir, std::string(row.name) + ".bmp");
    WriteFileBytes(bmp, WriteBitmapFile(samples, row.bits == 8 ? table : Bytes()));
    std::string picture = Join(dir, std::string(row.name) + ".qcg");
    RunResult run = Qrv({"encode", bmp, picture});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find(std::to_string(row.expectedBits) + " bits per pixel"), std::string::npos);
    std::string back = Join(dir, std::string(row.name) + "-back.bmp");
    ASSERT_EQ(Qrv({"convert", picture, back}).status, 0);
    BitmapFile bitmap;
    ASSERT_EQ(ReadBitmapFile(ReadFileBytes(back), &bitmap), "");
    ASSERT_EQ(bitmap.bits, row.expectedBits);
    Bytes expected = samples.bytes;
    if (row.colourTable) {
      expected.clear();
      for (uint8_t index : samples.bytes) expected.insert(expected.end(), &table[index * 4], &table[index * 4 + 3]);
    }
    EXPECT_EQ(bitmap.samples, expected);
  }
}

#if defined(QRV_TEST_HAVE_PNG)
TEST(Encode, PngInputBecomesAPictureOfTheRightDepth) {
  std::string dir = FreshDir("encode-png");
  Samples grey = MakeSamples(21, 8, 8, 2);
  ASSERT_TRUE(WritePng(Join(dir, "grey.png"), PNG_FORMAT_GRAY, 21, 8, grey.bytes));
  RunResult run = Qrv({"encode", Join(dir, "grey.png"), Join(dir, "grey.qcg")});
  ASSERT_EQ(run.status, 0) << run.err;
  ASSERT_EQ(Qrv({"convert", Join(dir, "grey.qcg"), Join(dir, "grey.bmp")}).status, 0);
  BitmapFile bitmap;
  ASSERT_EQ(ReadBitmapFile(ReadFileBytes(Join(dir, "grey.bmp")), &bitmap), "");
  EXPECT_EQ(bitmap.bits, 8);
  EXPECT_EQ(bitmap.samples, grey.bytes);

  // Blue, green, red, alpha: opaque pixels keep their colour, a transparent
  // one turns white.
  Bytes bgra = {10, 20, 30, 255, 40, 50, 60, 255, 1, 2, 3, 0};
  ASSERT_TRUE(WritePng(Join(dir, "alpha.png"), PNG_FORMAT_BGRA, 3, 1, bgra));
  ASSERT_EQ(Qrv({"encode", Join(dir, "alpha.png"), Join(dir, "alpha.qcg")}).status, 0);
  ASSERT_EQ(Qrv({"convert", Join(dir, "alpha.qcg"), Join(dir, "alpha.bmp")}).status, 0);
  ASSERT_EQ(ReadBitmapFile(ReadFileBytes(Join(dir, "alpha.bmp")), &bitmap), "");
  EXPECT_EQ(bitmap.bits, 24);
  EXPECT_EQ(bitmap.samples, (Bytes{10, 20, 30, 40, 50, 60, 255, 255, 255}));
}
#endif

TEST(List, TextAndJsonGivePositionsSizesAndNames) {
  std::string dir = FreshDir("list");
  std::vector<writer::ArchiveEntry> entries = SampleEntries();
  std::string archive = Join(dir, "a.dat");
  WriteFileBytes(archive, MakeArchive(entries));
  // Positions from the layout: each entry takes 10 + name + data bytes.
  std::string text = "  position       size  name\n";
  std::string json = "{\"archive\": \"" + archive + "\", \"entries\": [";
  uint32_t position = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    char line[128];
    std::snprintf(line, sizeof line, "%10u %10zu  %s\n", position, entries[i].data.size(),
                  entries[i].name.c_str());
    text += line;
    json += std::string(i ? "," : "") + "\n  {\"position\": " + std::to_string(position) +
            ", \"size\": " + std::to_string(entries[i].data.size()) + ", \"name\": \"" +
            entries[i].name + "\"}";
    position += static_cast<uint32_t>(10 + entries[i].name.size() + entries[i].data.size());
  }
  json += "\n]}\n";
  RunResult run = Qrv({"list", archive});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, text);
#if defined(_WIN32)
  // JSON escapes the backslashes of a Windows path.
  size_t at = 0;
  while ((at = json.find('\\', at)) != std::string::npos && at < json.find("\", \"entries")) {
    json.insert(at, 1, '\\');
    at += 2;
  }
#endif
  run = Qrv({"list", "--json", archive});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, json);
}

TEST(Extract, EveryEntryLandsWithItsBytes) {
  std::string dir = FreshDir("extract-all");
  std::vector<writer::ArchiveEntry> entries = SampleEntries();
  std::string archive = Join(dir, "a.dat");
  WriteFileBytes(archive, MakeArchive(entries));
  std::string outDir = Join(dir, "new/out");
  // An existing file of an entry's name is replaced.
  fs::create_directories(outDir);
  WriteFileBytes(Join(outDir, "z9"), Text("old content, longer than the entry"));
  RunResult run = Qrv({"extract", archive, "-C", outDir});
  ASSERT_EQ(run.status, 0) << run.err;
  for (const auto& entry : entries) EXPECT_EQ(ReadFileBytes(Join(outDir, entry.name)), entry.data) << entry.name;
  EXPECT_EQ(Listing(outDir), (std::vector<std::string>{"abc", "big_one", "z9"}));
}

TEST(Extract, NamedEntriesAreLookedUpWithOrWithoutCase) {
  std::string dir = FreshDir("extract-named");
  std::vector<writer::ArchiveEntry> entries = SampleEntries();
  std::string archive = Join(dir, "a.dat");
  WriteFileBytes(archive, MakeArchive(entries));
  // Run inside the directory: the default destination is the current one.
  RunResult run = Qrv({"extract", archive, "z9", "abc"}, dir);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(Listing(dir), (std::vector<std::string>{"a.dat", "abc", "z9"}));
  EXPECT_EQ(ReadFileBytes(Join(dir, "z9")), entries[2].data);

  std::string caseDir = Join(dir, "case");
  run = Qrv({"extract", archive, "BIG_One", "-C", caseDir});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("no entry named BIG_One"), std::string::npos) << run.err;
  EXPECT_TRUE(Listing(caseDir).empty());
  run = Qrv({"extract", archive, "BIG_One", "-i", "-C", caseDir});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(ReadFileBytes(Join(caseDir, "big_one")), entries[1].data);
}

TEST(Extract, StandardOutputCarriesOneEntry) {
  std::string dir = FreshDir("extract-stdout");
  std::vector<writer::ArchiveEntry> entries = SampleEntries();
  std::string archive = Join(dir, "a.dat");
  WriteFileBytes(archive, MakeArchive(entries));
  for (const auto& entry : entries) {
    RunResult run = Qrv({"extract", archive, entry.name, "--stdout"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Bytes(run.out.begin(), run.out.end()), entry.data) << entry.name;
  }
  RunResult run = Qrv({"extract", archive, "--stdout"});
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("--stdout writes one entry"), std::string::npos) << run.err;
  EXPECT_EQ(run.out, "");
}

TEST(Pack, FilesBecomeEntriesThatExtractAgain) {
  std::string dir = FreshDir("pack");
  WriteFileBytes(Join(dir, "Notes.txt"), Text("some notes\n"));
  Bytes binary(3000);
  for (size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<uint8_t>(i * 13);
  WriteFileBytes(Join(dir, "data_1"), binary);
  std::string archive = Join(dir, "out.dat");
  RunResult run = Qrv({"pack", archive, Join(dir, "Notes.txt"), Join(dir, "data_1")});
  ASSERT_EQ(run.status, 0) << run.err;
  run = Qrv({"list", archive});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "  position       size  name\n"
                     "         0         11  notes_txt\n"
                     "        30       3000  data_1\n");
  std::string outDir = Join(dir, "x");
  ASSERT_EQ(Qrv({"extract", archive, "-C", outDir}).status, 0);
  EXPECT_EQ(ReadFileBytes(Join(outDir, "notes_txt")), Text("some notes\n"));
  EXPECT_EQ(ReadFileBytes(Join(outDir, "data_1")), binary);
}

TEST(Info, SaysWhichPluginTakesEachFile) {
  std::string dir = FreshDir("info");
  WriteFileBytes(Join(dir, "p.qcg"), EncodeSamples(MakeSamples(300, 2, 8, 1)));
  WriteFileBytes(Join(dir, "a.dat"), MakeArchive(SampleEntries()));
  RunResult run = Qrv({"info", Join(dir, "p.qcg"), Join(dir, "a.dat")});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("p.qcg: Quorvanel CG picture (ifqrvnel"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("300 x 2 pixels, 8 bits per pixel"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("a.dat: Quorvanel Archive (axqrvnel"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("3 entries, 5040 bytes of data"), std::string::npos) << run.out;
}

TEST(Help, EveryCommandExplainsItself) {
  RunResult run = Qrv({"help"});
  ASSERT_EQ(run.status, 0);
  for (const char* command : {"info", "convert", "list", "extract", "encode", "pack"}) {
    EXPECT_NE(run.out.find(std::string("  ") + command + " "), std::string::npos) << command;
    RunResult help = Qrv({command, "--help"});
    EXPECT_EQ(help.status, 0) << command;
    EXPECT_EQ(help.out.rfind(std::string("usage: qrv ") + command, 0), 0u) << help.out;
    EXPECT_NE(help.out.find("options:"), std::string::npos) << command;
    EXPECT_EQ(Qrv({"help", command}).out, help.out) << command;
  }
  run = Qrv({});
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("usage: qrv COMMAND"), std::string::npos);
}

// Every bad input: the exit status, the message, and no file left in the
// output directory.
TEST(Errors, EveryBadInputGetsAMessageAndLeavesNothing) {
  std::string dir = FreshDir("errors");
  std::string out = Join(dir, "out");
  Samples samples = MakeSamples(40, 30, 24, 9);
  Bytes picture = EncodeSamples(samples);
  WriteFileBytes(Join(dir, "good.qcg"), picture);
  WriteFileBytes(Join(dir, "short.qcg"), Bytes(picture.begin(), picture.begin() + picture.size() / 2));
  WriteFileBytes(Join(dir, "junk.bin"), Text("this is no picture and no archive at all"));
  WriteFileBytes(Join(dir, "empty"), Bytes());
  Bytes archive = MakeArchive(SampleEntries());
  WriteFileBytes(Join(dir, "good.dat"), archive);
  // Cut inside the 5000-byte entry: the head still passes detection.
  WriteFileBytes(Join(dir, "cut.dat"), Bytes(archive.begin(), archive.begin() + 3000));
  fs::create_directories(Join(dir, "folder.qcg"));
  WriteFileBytes(Join(dir, "plainfile"), Text("x"));

  struct Row {
    std::vector<std::string> args;
    int status;
    std::string message;
  };
  const std::string good = Join(dir, "good.qcg");
  const std::string gooddat = Join(dir, "good.dat");
  const std::vector<Row> rows = {
      {{"frobnicate"}, 2, "no command named frobnicate"},
      {{"convert", good, "--bogus"}, 2, "unknown option --bogus"},
      {{"convert"}, 2, "convert needs a picture file"},
      {{"convert", good, Join(out, "x.gif")}, 2, "cannot tell the output format of"},
      {{"convert", Join(dir, "same.bmp"), Join(dir, "same.bmp")}, 2, "the output would replace the input"},
      {{"convert", good, good, good}, 2, "several pictures need -o DIR"},
      {{"convert", good, "-o", out, "-j", "zero"}, 2, "-j needs a number of jobs"},
      {{"convert", good, "-o", out, "--format", "gif"}, 2, "unknown format gif"},
      {{"convert", Join(dir, "missing.qcg"), Join(out, "m.bmp")}, 1, "missing.qcg: cannot open"},
      {{"convert", Join(dir, "folder.qcg"), Join(out, "f.bmp")}, 1, "folder.qcg: is a directory"},
      {{"convert", Join(dir, "junk.bin"), Join(out, "j.bmp")}, 1, "junk.bin: not a Quorvanel CG picture"},
      {{"convert", Join(dir, "empty"), Join(out, "e.bmp")}, 1, "empty: not a Quorvanel CG picture"},
      {{"convert", Join(dir, "short.qcg"), Join(out, "s.bmp")}, 1, "short.qcg: picture ends early"},
      {{"convert", good, Join(dir, "nowhere/deeper/x.bmp")}, 1, "cannot write " + Join(dir, "nowhere/deeper/x.bmp")},
      {{"convert", good, Join(dir, "junk.bin"), "-o", Join(dir, "plainfile"), "--format", "bmp"}, 1, "cannot write into"},
      {{"convert", good, Join(out, "a.bmp"), "--plugins", Join(dir, "none")}, 1, "cannot load the plug-in"},
      {{"info", Join(dir, "junk.bin")}, 1, "neither a Quorvanel CG picture nor a Quorvanel Archive"},
      {{"list", Join(dir, "junk.bin")}, 1, "junk.bin: not a Quorvanel Archive"},
      {{"list", good}, 1, "good.qcg: not a Quorvanel Archive"},
      {{"list", Join(dir, "cut.dat")}, 1, "cut.dat: archive ends early"},
      {{"list", Join(dir, "folder.qcg")}, 1, "is a directory"},
      {{"list"}, 2, "list takes one archive"},
      {{"extract", Join(dir, "cut.dat"), "-C", out}, 1, "cut.dat: archive ends early"},
      {{"extract", gooddat, "nope", "-C", out}, 1, "good.dat: no entry named nope"},
      {{"extract", gooddat, "-C", Join(dir, "plainfile")}, 1, "cannot write into"},
      {{"extract", gooddat, "abc", "--stdout", "-C", out}, 2, "exclude each other"},
      {{"encode", Join(dir, "junk.bin"), Join(out, "e.qcg")}, 1, "neither a PNG nor a BMP file"},
      {{"encode", good}, 2, "encode takes an input picture and an output file"},
      {{"pack", Join(out, "p.dat"), Join(dir, "empty")}, 1, "is empty"},
      {{"pack", Join(out, "p.dat"), Join(dir, "missing")}, 1, "missing: cannot open"},
      {{"pack", Join(out, "p.dat"), good, Join(dir, "folder.qcg"), good}, 1, "already stored as good_qcg"},
  };
  for (const Row& row : rows) {
    std::string line;
    for (const std::string& arg : row.args) line += arg + " ";
    SCOPED_TRACE(line);
    fs::remove_all(out);
    fs::create_directories(out);
    RunResult run = Qrv(row.args);
    EXPECT_EQ(run.status, row.status) << run.err;
    EXPECT_NE(run.err.find(row.message), std::string::npos) << run.err;
    EXPECT_EQ(run.err.rfind("qrv: ", 0), 0u) << run.err;
    EXPECT_TRUE(Listing(out).empty());
  }
  EXPECT_FALSE(FileExists(Join(dir, "nowhere")));
  // Nothing was written beside the inputs either.
  EXPECT_EQ(Listing(dir), (std::vector<std::string>{"cut.dat", "empty", "folder.qcg", "good.dat",
                                                    "good.qcg", "junk.bin", "out", "plainfile",
                                                    "short.qcg"}));
}

TEST(Errors, AFailedEntryLeavesNoFileAndTheOthersStillLand) {
  std::string dir = FreshDir("errors-extract");
  std::vector<writer::ArchiveEntry> entries = SampleEntries();
  std::string archive = Join(dir, "a.dat");
  WriteFileBytes(archive, MakeArchive(entries));
  std::string outDir = Join(dir, "out");
  // A directory where the entry's file should go cannot be replaced.
  fs::create_directories(Join(outDir, "big_one"));
  RunResult run = Qrv({"extract", archive, "-C", outDir});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("cannot write " + Join(outDir, "big_one")), std::string::npos) << run.err;
  EXPECT_EQ(Listing(outDir), (std::vector<std::string>{"abc", "big_one", "z9"}));
  EXPECT_TRUE(fs::is_directory(Join(outDir, "big_one")));
  EXPECT_TRUE(Listing(Join(outDir, "big_one")).empty());
  EXPECT_EQ(ReadFileBytes(Join(outDir, "z9")), entries[2].data);
}

#if !defined(_WIN32)
TEST(Interrupt, CtrlCStopsTheRunAndLeavesNoPartialFile) {
  std::string dir = FreshDir("interrupt");
  std::string outDir = Join(dir, "out");
  std::vector<std::string> args = {"convert", "-o", outDir, "--format", "bmp", "-j", "1"};
  Bytes picture = EncodeSamples(MakeSamples(600, 400, 24, 4));
  constexpr uint32_t kCount = 300;
  for (uint32_t i = 0; i < kCount; ++i) {
    // One picture under many names: links cost no disk space.
    std::string path = Join(dir, Numbered(i, ".qcg"));
    if (i == 0) WriteFileBytes(path, picture);
    else fs::create_hard_link(Join(dir, Numbered(0, ".qcg")), path);
    args.push_back(path);
  }
  Child child = StartProgram(QrvProgram(), args);
  ASSERT_GT(child.pid, 0);
  // Signal once the first picture is done: the run is then under way.
  for (int wait = 0; wait < 2000 && (!fs::exists(outDir) || Listing(outDir).empty()); ++wait) {
    usleep(5000);
  }
  ASSERT_EQ(kill(child.pid, SIGINT), 0);
  RunResult run = WaitProgram(child);
  EXPECT_EQ(run.status, 130) << run.err;
  EXPECT_NE(run.err.find("qrv: interrupted"), std::string::npos) << run.err;
  std::vector<std::string> left = Listing(outDir);
  EXPECT_LT(left.size(), static_cast<size_t>(kCount));
  for (const std::string& name : left) {
    EXPECT_NE(name[0], '.') << "partial file " << name;
    BitmapFile bitmap;
    EXPECT_EQ(ReadBitmapFile(ReadFileBytes(Join(outDir, name)), &bitmap), "") << name;
  }
}
#endif

}  // namespace
}  // namespace qrv::test
