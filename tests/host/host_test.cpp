// End-to-end tests of `qrv`: the built program is run as a child process on
// files made by the project's writers, with the plug-ins loaded from beside it,
// and what it writes is read back independently (a bitmap reader of the test's
// own, libpng where the build has it).
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <random>

#include "archive_writer.h"
#include "host_files.h"
#include "host_support.h"

#include <nlohmann/json.hpp>

#if defined(QRV_TEST_HAVE_PNG)
#include <png.h>
#endif

#if !defined(_WIN32)
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace qrv::test {
namespace {
namespace fs = std::filesystem;

// "p<i><suffix>", built by appending: GCC 12 warns falsely (-Wrestrict) on
// "p" + std::to_string(i).
std::string Numbered(uint32_t i, const char* suffix) {
  std::string name = "p";
  name += std::to_string(i);
  return name + suffix;
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
  for (const char* command : {"info", "convert", "list", "extract", "encode", "pack", "update", "version"}) {
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

// The release version, from the build, and each plug-in's about text as
// loaded; a plug-in that is not there fails the command.
TEST(Version, NamesTheReleaseAndThePluginsAsLoaded) {
  for (const char* spelling : {"--version", "version"}) {
    RunResult run = Qrv({spelling});
    ASSERT_EQ(run.status, 0) << spelling << ": " << run.err;
    EXPECT_EQ(run.out.rfind(std::string("qrv ") + QRV_VERSION + "\n", 0), 0u) << run.out;
    EXPECT_NE(run.out.find("\nifqrvnel: Quorvanel CG to DIB filter ver0.02 ("), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("\naxqrvnel: AxQrvNel - Quorvanel Archive extract library ver0.02 ("),
              std::string::npos)
        << run.out;
  }
  std::string empty = FreshDir("no-plugins");
  RunResult run = Qrv({"version", "--plugins", empty});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out.rfind(std::string("qrv ") + QRV_VERSION + "\n", 0), 0u) << run.out;
  EXPECT_NE(run.err.find("ifqrvnel"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("axqrvnel"), std::string::npos) << run.err;
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
  // Inputs that a careless output would replace: a picture named like a
  // bitmap, a real bitmap, an archive named like one of its entries.
  WriteFileBytes(Join(dir, "self.bmp"), picture);
  const Bytes bitmap = WriteBitmapFile(MakeSamples(6, 5, 24, 3), Bytes());
  WriteFileBytes(Join(dir, "in.bmp"), bitmap);
  WriteFileBytes(Join(dir, "abc"), archive);
  // A header claiming 65535 x 65535 pixels, four bytes of data behind it.
  WriteFileBytes(Join(dir, "huge.qcg"), Bytes{0, 0, 0, 0, 'Q', 'R', 'V', 0xff, 0xff, 0xff, 0xff, 8,
                                              0xff, 0xff, 0xff, 0xff});

  struct Row {
    std::vector<std::string> args;
    int status;
    std::string message;
  };
  const std::string good = Join(dir, "good.qcg");
  const std::string gooddat = Join(dir, "good.dat");
  const std::string self = Join(dir, "self.bmp");
  // The same files spelled otherwise: through "." and "..", and relative to
  // the directory the program runs in.
  const std::string selfDotted = Join(Join(dir, "."), "self.bmp");
  const std::string selfUp = Join(Join(Join(dir, "out"), ".."), "self.bmp");
  const std::string inBmp = Join(dir, "in.bmp");
  const std::string datUp = Join(Join(Join(dir, "out"), ".."), "good.dat");
  const std::vector<Row> rows = {
      // No output may replace an input, however it is spelled.
      {{"convert", self, selfDotted}, 2, "would replace the input; nothing was written"},
      {{"convert", self, selfUp}, 2, "would replace the input; nothing was written"},
      {{"convert", "-o", dir, "-f", "bmp", self}, 2, "would replace the input"},
      {{"convert", good, self, "-o", dir, "--format", "bmp"}, 2, "would replace the input"},
      {{"encode", inBmp, inBmp}, 2, "would replace the input; nothing was written"},
      {{"encode", inBmp, Join(Join(dir, "."), "in.bmp")}, 2, "would replace the input"},
      {{"pack", gooddat, gooddat}, 2, "would replace this input; nothing was written"},
      {{"pack", datUp, Join(dir, "plainfile"), gooddat}, 2, "would replace this input"},
      {{"extract", Join(dir, "abc"), "-C", dir}, 2, "the entry abc would replace the archive itself"},
      {{"extract", Join(dir, "abc"), "abc", "-C", Join(out, "..")}, 2, "would replace the archive itself"},
      // Pictures too big for the limit are refused from their header.
      {{"convert", Join(dir, "huge.qcg"), Join(out, "h.bmp")}, 1,
       "65535 x 65535 = 4294836225 pixels, more than the limit of 178956970 (raise it with "
       "--max-pixels N, or lift it with --max-pixels 0)"},
      {{"convert", good, Join(out, "g.bmp"), "--max-pixels", "1199"}, 1,
       "40 x 30 = 1200 pixels, more than the limit of 1199"},
      {{"encode", inBmp, Join(out, "e.qcg"), "--max-pixels", "29"}, 1,
       "6 x 5 = 30 pixels, more than the limit of 29"},
      {{"convert", good, Join(out, "g.bmp"), "--max-pixels", "lots"}, 2, "--max-pixels needs a number"},
      // Names that name nothing, and names that must not reach the terminal raw.
      {{"convert", ""}, 2, "\"\" names no file"},
      {{"convert", good, "-o", ""}, 2, "--output-dir \"\" names no directory"},
      {{"list", ""}, 2, "\"\" names no file"},
      {{"convert", Join(dir, "esc\x1b[2Jape.qcg"), Join(out, "x.bmp")}, 1, "esc\\x1b[2Jape.qcg: cannot open"},
      {{"extract", gooddat, "abc", "z9", "--stdout"}, 2, "--stdout writes one entry, and 2 are named"},
#if defined(_WIN32)
      // Windows names ignore case.
      {{"convert", self, Join(dir, "SELF.BMP")}, 2, "would replace the input; nothing was written"},
      {{"pack", Join(dir, "GOOD.DAT"), gooddat}, 2, "would replace this input"},
#else
      {{"extract", gooddat, "-C", Join(out, std::string(300, 'd'))}, 1, "File name too long"},
      {{"convert", good, Join(out, std::string(300, 'd') + ".bmp")}, 1, "File name too long"},
#endif
      {{"frobnicate"}, 2, "no command named frobnicate"},
      {{"convert", good, "--bogus"}, 2, "unknown option --bogus"},
      {{"convert"}, 2, "convert needs a picture file"},
      {{"convert", good, Join(out, "x.gif")}, 2, "cannot tell the output format of"},
      {{"convert", Join(dir, "same.bmp"), Join(dir, "same.bmp")}, 2, "would replace the input; nothing was written"},
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
    EXPECT_EQ(run.err.find('\x1b'), std::string::npos) << "a raw escape reached the terminal";
    EXPECT_TRUE(Listing(out).empty());
  }
  EXPECT_FALSE(FileExists(Join(dir, "nowhere")));
  // Nothing was written beside the inputs either, and no input was changed.
  EXPECT_EQ(Listing(dir), (std::vector<std::string>{"abc", "cut.dat", "empty", "folder.qcg",
                                                    "good.dat", "good.qcg", "huge.qcg", "in.bmp",
                                                    "junk.bin", "out", "plainfile", "self.bmp",
                                                    "short.qcg"}));
  EXPECT_EQ(ReadFileBytes(self), picture);
  EXPECT_EQ(ReadFileBytes(good), picture);
  EXPECT_EQ(ReadFileBytes(inBmp), bitmap);
  EXPECT_EQ(ReadFileBytes(gooddat), archive);
  EXPECT_EQ(ReadFileBytes(Join(dir, "abc")), archive);
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
// The signals a shell or terminal sends, with the exit status and message.
struct SignalCase {
  int signal;
  int status;
  const char* message;
};
const SignalCase kSignals[] = {{SIGINT, 130, "qrv: interrupted\n"},
                               {SIGHUP, 129, "qrv: interrupted: the terminal was closed (SIGHUP)"},
                               {SIGTERM, 143, "qrv: interrupted: asked to terminate (SIGTERM)"}};

// Waits until `dir` holds a finished (not hidden) file: the run is under way.
void AwaitFirstFile(const std::string& dir) {
  auto started = [&] {
    if (!fs::exists(dir)) return false;
    for (const std::string& name : Listing(dir)) {
      if (name[0] != '.') return true;
    }
    return false;
  };
  for (int wait = 0; wait < 4000 && !started(); ++wait) usleep(1000);
}

TEST(Interrupt, SignalsStopAConversionAndLeaveNoPartialFile) {
  std::string dir = FreshDir("interrupt");
  Bytes picture = EncodeSamples(MakeSamples(600, 400, 24, 4));
  constexpr uint32_t kCount = 300;
  std::vector<std::string> inputs;
  for (uint32_t i = 0; i < kCount; ++i) {
    // One picture under many names: links cost no disk space.
    std::string path = Join(dir, Numbered(i, ".qcg"));
    if (i == 0) WriteFileBytes(path, picture);
    else fs::create_hard_link(Join(dir, Numbered(0, ".qcg")), path);
    inputs.push_back(path);
  }
  for (const SignalCase& c : kSignals) {
    SCOPED_TRACE(c.status);
    std::string outDir = Join(dir, "out" + std::to_string(c.signal));
    std::vector<std::string> args = {"convert", "-o", outDir, "--format", "bmp", "-j", "1"};
    args.insert(args.end(), inputs.begin(), inputs.end());
    Child child = StartProgram(QrvProgram(), args);
    ASSERT_GT(child.pid, 0);
    AwaitFirstFile(outDir);
    ASSERT_EQ(kill(child.pid, c.signal), 0);
    RunResult run = WaitProgram(child);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    std::vector<std::string> left = Listing(outDir);
    EXPECT_LT(left.size(), static_cast<size_t>(kCount));
    for (const std::string& name : left) {
      EXPECT_NE(name[0], '.') << "partial file " << name;
      BitmapFile bitmap;
      EXPECT_EQ(ReadBitmapFile(ReadFileBytes(Join(outDir, name)), &bitmap), "") << name;
    }
  }
}

TEST(Interrupt, SignalsStopAnExtractionAndRemoveTheScratchFolder) {
  std::string dir = FreshDir("interrupt-extract");
  // Many entries of 128 KiB, each one a little different.
  std::vector<writer::ArchiveEntry> entries;
  Bytes data(128 * 1024);
  std::mt19937 random(5);
  for (uint8_t& b : data) b = static_cast<uint8_t>(random());
  for (uint32_t i = 0; i < 400; ++i) {
    data[0] = static_cast<uint8_t>(i);
    entries.push_back({Numbered(i, ""), data});
  }
  std::string archive = Join(dir, "long.dat");
  WriteFileBytes(archive, MakeArchive(entries));
  for (const SignalCase& c : kSignals) {
    SCOPED_TRACE(c.status);
    std::string outDir = Join(dir, "out" + std::to_string(c.signal));
    Child child = StartProgram(QrvProgram(), {"extract", archive, "-C", outDir});
    ASSERT_GT(child.pid, 0);
    AwaitFirstFile(outDir);
    ASSERT_EQ(kill(child.pid, c.signal), 0);
    RunResult run = WaitProgram(child);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    std::vector<std::string> left = Listing(outDir);
    EXPECT_LT(left.size(), entries.size());
    for (const std::string& name : left) {
      ASSERT_NE(name[0], '.') << "left behind: " << name;
      data[0] = static_cast<uint8_t>(std::stoul(name.substr(1)));
      EXPECT_EQ(ReadFileBytes(Join(outDir, name)), data) << name;
    }
  }
  fs::remove_all(dir);
}
#endif

TEST(Extract, DuplicateNamesKeepTheFirstAsALookupDoes) {
  std::string dir = FreshDir("extract-duplicates");
  std::string archive = Join(dir, "dup.dat");
  WriteFileBytes(archive, MakeArchive({{"same", Text("first")},
                                       {"other", Text("between")},
                                       {"same", Text("second, longer")},
                                       {"same", Text("third")}}));
  RunResult run = Qrv({"extract", archive, "-C", Join(dir, "all")});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(ReadFileBytes(Join(dir, "all/same")), Text("first"));
  EXPECT_EQ(Listing(Join(dir, "all")), (std::vector<std::string>{"other", "same"}));
  // Each left-out entry is named by its position, with the one kept.
  EXPECT_NE(run.err.find("the entry at 41 repeats the name same of the entry at 0"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("the entry at 69 repeats the name same of the entry at 0"), std::string::npos) << run.err;
  run = Qrv({"extract", archive, "same", "-C", Join(dir, "named")});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(ReadFileBytes(Join(dir, "named/same")), Text("first"));
  run = Qrv({"extract", archive, "same", "--stdout"});
  EXPECT_EQ(run.out, "first");
}

// Names that are devices on Windows are ordinary names elsewhere: extracted
// there (through memory output, which the plug-in allows), refused with the
// reason on Windows.
TEST(Extract, DeviceNamesAreFilesOnLinuxAndExplainedOnWindows) {
  std::string dir = FreshDir("extract-devices");
  std::string archive = Join(dir, "dev.dat");
  const std::vector<std::string> names = {"aux", "com1", "con", "lpt9", "nul", "prn"};
  std::vector<writer::ArchiveEntry> entries;
  for (const std::string& name : names) entries.push_back({name, Text("bytes of " + name)});
  entries.push_back({"plain", Text("plain")});
  WriteFileBytes(archive, MakeArchive(entries));
  std::string outDir = Join(dir, "out");
  RunResult run = Qrv({"extract", archive, "-C", outDir});
#if defined(_WIN32)
  EXPECT_EQ(run.status, 1);
  for (const std::string& name : names) {
    EXPECT_NE(run.err.find(name + " is a device name on Windows"), std::string::npos) << run.err;
  }
  EXPECT_EQ(Listing(outDir), std::vector<std::string>{"plain"});
#else
  ASSERT_EQ(run.status, 0) << run.err;
  for (const std::string& name : names) {
    EXPECT_EQ(ReadFileBytes(Join(outDir, name)), Text("bytes of " + name)) << name;
  }
  EXPECT_EQ(Listing(outDir).size(), names.size() + 1);
#endif
  EXPECT_EQ(ReadFileBytes(Join(outDir, "plain")), Text("plain"));
}

TEST(Help, HelpAboutHelpExitStatusesAndFormatCase) {
  RunResult general = Qrv({"help"});
  EXPECT_NE(general.out.find("exit status:"), std::string::npos);
  EXPECT_NE(general.out.find("129, 130, 143"), std::string::npos);
  for (const char* about : {"help", "--help"}) {
    RunResult run = Qrv({"help", about});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, general.out);
  }
  EXPECT_NE(Qrv({"convert", "--help"}).out.find("exit status:"), std::string::npos);
  std::string dir = FreshDir("format-case");
  WriteFileBytes(Join(dir, "p.qcg"), EncodeSamples(MakeSamples(5, 4, 8, 1)));
  RunResult run = Qrv({"convert", Join(dir, "p.qcg"), "-o", Join(dir, "out"), "--format", "BMP"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(Listing(Join(dir, "out")), std::vector<std::string>{"p.bmp"});
}

#if defined(QRV_TEST_HAVE_PNG)
// A 16-bit PNG through libpng's low-level writer, which stores the samples as
// given (no gamma chunk): grey or RGB.
bool WritePng16(const std::string& path, bool colour, uint32_t width, uint32_t height,
                const std::vector<uint16_t>& samples) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    std::fclose(file);
    return false;
  }
  png_init_io(png, file);
  png_set_IHDR(png, info, width, height, 16, colour ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  const uint32_t perRow = width * (colour ? 3 : 1);
  std::vector<uint8_t> row(perRow * 2);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t i = 0; i < perRow; ++i) {
      row[i * 2] = static_cast<uint8_t>(samples[y * perRow + i] >> 8);
      row[i * 2 + 1] = static_cast<uint8_t>(samples[y * perRow + i]);
    }
    png_write_row(png, row.data());
  }
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return std::fclose(file) == 0;
}

// 16-bit samples round to the nearest 8-bit value, and alpha is laid over
// white in the file's own values (no gamma conversion).
TEST(Encode, SixteenBitsRoundAndAlphaIsLaidOverWhite) {
  std::string dir = FreshDir("encode-png16");
  auto nearest = [](uint16_t v) { return static_cast<uint8_t>((v * 255u + 32767u) / 65535u); };
  std::mt19937 random(11);
  for (bool colour : {false, true}) {
    SCOPED_TRACE(colour ? "rgb16" : "grey16");
    const uint32_t width = 37, height = 9;
    std::vector<uint16_t> samples(width * height * (colour ? 3 : 1));
    for (uint16_t& v : samples) v = static_cast<uint16_t>(random());
    samples[0] = 0x8080;  // the value that came out as 0xBA
    samples[1] = 0xffff;
    samples[2] = 0;
    ASSERT_TRUE(WritePng16(Join(dir, "in.png"), colour, width, height, samples));
    RunResult run = Qrv({"encode", Join(dir, "in.png"), Join(dir, "in.qcg")});
    ASSERT_EQ(run.status, 0) << run.err;
    ASSERT_EQ(Qrv({"convert", Join(dir, "in.qcg"), Join(dir, "back.bmp")}).status, 0);
    BitmapFile bitmap;
    ASSERT_EQ(ReadBitmapFile(ReadFileBytes(Join(dir, "back.bmp")), &bitmap), "");
    ASSERT_EQ(bitmap.bits, colour ? 24 : 8);
    Bytes expected;
    for (size_t i = 0; i < samples.size(); i += colour ? 3 : 1) {
      if (colour) {  // the bitmap holds blue, green, red
        for (size_t c : {2, 1, 0}) expected.push_back(nearest(samples[i + c]));
      } else {
        expected.push_back(nearest(samples[i]));
      }
    }
    EXPECT_EQ(bitmap.samples, expected);
    EXPECT_EQ(bitmap.samples[0], colour ? nearest(2) : 0x80);
  }
  // Alpha over white, for colour and for grey with alpha.
  auto over = [](unsigned c, unsigned a) { return static_cast<uint8_t>((c * a + 255 * (255 - a) + 127) / 255); };
  Bytes rgba = {0, 255, 0, 128, 10, 20, 30, 255, 200, 100, 50, 0, 90, 180, 30, 77};
  ASSERT_TRUE(WritePng(Join(dir, "alpha.png"), PNG_FORMAT_RGBA, 4, 1, rgba));
  ASSERT_EQ(Qrv({"encode", Join(dir, "alpha.png"), Join(dir, "alpha.qcg")}).status, 0);
  ASSERT_EQ(Qrv({"convert", Join(dir, "alpha.qcg"), Join(dir, "alpha.bmp")}).status, 0);
  BitmapFile bitmap;
  ASSERT_EQ(ReadBitmapFile(ReadFileBytes(Join(dir, "alpha.bmp")), &bitmap), "");
  Bytes expected;
  for (size_t i = 0; i < rgba.size(); i += 4) {
    for (size_t c : {2, 1, 0}) expected.push_back(over(rgba[i + c], rgba[i + 3]));
  }
  EXPECT_EQ(bitmap.samples, expected);
  EXPECT_EQ(Bytes(bitmap.samples.begin(), bitmap.samples.begin() + 3), (Bytes{127, 255, 127}));
  Bytes greyAlpha = {0, 128, 200, 255, 100, 0};
  ASSERT_TRUE(WritePng(Join(dir, "ga.png"), PNG_FORMAT_GA, 3, 1, greyAlpha));
  RunResult run = Qrv({"encode", Join(dir, "ga.png"), Join(dir, "ga.qcg")});
  ASSERT_EQ(run.status, 0) << run.err;
  // Grey with alpha becomes colour, as on every build: the same level thrice.
  EXPECT_NE(run.out.find("24 bits per pixel"), std::string::npos) << run.out;
  ASSERT_EQ(Qrv({"convert", Join(dir, "ga.qcg"), Join(dir, "ga.bmp")}).status, 0);
  ASSERT_EQ(ReadBitmapFile(ReadFileBytes(Join(dir, "ga.bmp")), &bitmap), "");
  EXPECT_EQ(bitmap.samples, (Bytes{over(0, 128), over(0, 128), over(0, 128), 200, 200, 200, 255, 255, 255}));
}
#endif

#if !defined(_WIN32)
// Standard input and pipes are read into memory and handed over as memory
// sources: the same answers as from the file.
TEST(Pipes, DashAndPipesReadLikeFiles) {
  std::string dir = FreshDir("pipes");
  Samples samples = MakeSamples(23, 11, 24, 8);
  Bytes picture = EncodeSamples(samples);
  Bytes archive = MakeArchive(SampleEntries());
  WriteFileBytes(Join(dir, "a.dat"), archive);
  auto piped = [](const Bytes& bytes) {
    RunOptions options;
    options.pipeInput = true;
    options.input.assign(bytes.begin(), bytes.end());
    return options;
  };
  const std::string listing = Qrv({"list", Join(dir, "a.dat")}).out;
  for (const char* name : {"-", "/dev/stdin"}) {
    SCOPED_TRACE(name);
    RunResult run = RunProgramWith(QrvProgram(), {"list", name}, piped(archive));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, listing);
    std::string out = Join(dir, std::string(name[0] == '-' ? "dash" : "stdin") + ".bmp");
    run = RunProgramWith(QrvProgram(), {"convert", name, out}, piped(picture));
    ASSERT_EQ(run.status, 0) << run.err;
    BitmapFile bitmap;
    ASSERT_EQ(ReadBitmapFile(ReadFileBytes(out), &bitmap), "");
    EXPECT_EQ(bitmap.samples, samples.bytes);
    std::string outDir = Join(dir, std::string("x") + (name[0] == '-' ? "dash" : "stdin"));
    run = RunProgramWith(QrvProgram(), {"extract", name, "-C", outDir}, piped(archive));
    ASSERT_EQ(run.status, 0) << run.err;
    for (const auto& entry : SampleEntries()) EXPECT_EQ(ReadFileBytes(Join(outDir, entry.name)), entry.data);
    run = RunProgramWith(QrvProgram(), {"extract", name, "z9", "--stdout"}, piped(archive));
    EXPECT_EQ(run.out, "7 bytes");
    run = RunProgramWith(QrvProgram(), {"info", name}, piped(picture));
    EXPECT_NE(run.out.find("23 x 11 pixels"), std::string::npos) << run.out << run.err;
  }
  // A damaged stream is judged like a damaged file.
  RunResult run = RunProgramWith(QrvProgram(), {"list", "-"}, piped(Bytes(archive.begin(), archive.begin() + 3000)));
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("-: archive ends early"), std::string::npos) << run.err;
  run = RunProgramWith(QrvProgram(), {"convert", "-"}, piped(picture));
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("needs OUT"), std::string::npos) << run.err;
}

// Output that never reached standard output is a failure with the reason.
TEST(Errors, AFullStandardOutputIsReported) {
  if (!FileExists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  std::string dir = FreshDir("dev-full");
  WriteFileBytes(Join(dir, "a.dat"), MakeArchive(SampleEntries()));
  WriteFileBytes(Join(dir, "p.qcg"), EncodeSamples(MakeSamples(4, 4, 8, 1)));
  const std::vector<std::vector<std::string>> commands = {
      {"list", Join(dir, "a.dat")},      {"list", "--json", Join(dir, "a.dat")},
      {"info", Join(dir, "p.qcg")},      {"help"},
      {"convert", "--help"},             {"extract", Join(dir, "a.dat"), "abc", "--stdout"},
      {"convert", Join(dir, "p.qcg"), Join(dir, "p.bmp")}};
  RunOptions options;
  options.outputPath = "/dev/full";
  for (const auto& args : commands) {
    SCOPED_TRACE(args[0] + " " + args.back());
    RunResult run = RunProgramWith(QrvProgram(), args, options);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("qrv: cannot write to standard output: No space left on device"),
              std::string::npos) << run.err;
  }
}

// A file-size limit makes writes fail with "File too large": every command
// says so, exits 1 and leaves no part file or scratch folder.
TEST(Errors, AFileSizeLimitFailsCleanly) {
  std::string dir = FreshDir("fsize");
  constexpr unsigned long kLimit = 512000;  // `ulimit -f 500`
  Bytes big(600000);
  std::mt19937 random(3);
  for (uint8_t& b : big) b = static_cast<uint8_t>(random());
  WriteFileBytes(Join(dir, "big"), big);
  WriteFileBytes(Join(dir, "a.dat"), MakeArchive({{"small", Text("fits")}, {"large", big}}));
  WriteFileBytes(Join(dir, "p.qcg"), EncodeSamples(MakeSamples(500, 400, 24, 2)));
  WriteFileBytes(Join(dir, "p.bmp"), WriteBitmapFile(MakeSamples(500, 400, 24, 2), Bytes()));
  struct Row {
    std::vector<std::string> args;
    std::string file;  // what must not exist afterwards
  };
  const std::string out = Join(dir, "out");
  const std::vector<Row> rows = {
      {{"extract", Join(dir, "a.dat"), "-C", out}, Join(out, "large")},
      {{"convert", Join(dir, "p.qcg"), Join(out, "p.bmp")}, Join(out, "p.bmp")},
      {{"encode", Join(dir, "p.bmp"), Join(out, "p.qcg")}, Join(out, "p.qcg")},
      {{"pack", Join(out, "p.dat"), Join(dir, "big")}, Join(out, "p.dat")},
  };
  RunOptions options;
  options.fileSizeLimit = kLimit;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.args[0]);
    fs::remove_all(out);
    fs::create_directories(out);
    RunResult run = RunProgramWith(QrvProgram(), row.args, options);
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_NE(run.err.find("cannot write " + row.file + ": File too large"), std::string::npos) << run.err;
    EXPECT_FALSE(FileExists(row.file));
    for (const std::string& name : Listing(out)) EXPECT_NE(name[0], '.') << "left behind: " << name;
  }
  // The entry that fits still landed.
  fs::remove_all(out);
  RunResult run = RunProgramWith(QrvProgram(), rows[0].args, options);
  EXPECT_EQ(Listing(out), std::vector<std::string>{"small"});
}

// A scratch folder or part file whose process has ended (a run killed with
// SIGKILL) is removed by the next extraction into that directory; those of a
// live process are left alone.
TEST(Extract, ScratchLeftByAKilledRunIsRemoved) {
  std::string dir = FreshDir("stale-scratch");
  WriteFileBytes(Join(dir, "a.dat"), MakeArchive(SampleEntries()));
  pid_t gone = fork();
  if (gone == 0) _exit(0);
  ASSERT_GT(gone, 0);
  waitpid(gone, nullptr, 0);
  const std::string dead = std::to_string(gone);
  const std::string alive = std::to_string(getpid());
  std::string out = Join(dir, "out");
  fs::create_directories(Join(out, ".qrv-part-" + dead + "-0/sub"));
  WriteFileBytes(Join(out, ".qrv-part-" + dead + "-0/sub/abc"), Text("half"));
  WriteFileBytes(Join(out, ".abc.part-" + dead + "-7"), Text("half"));
  fs::create_directories(Join(out, ".qrv-part-" + alive + "-0"));
  WriteFileBytes(Join(out, ".keep.part-" + alive + "-1"), Text("in use"));
  WriteFileBytes(Join(out, ".qrv-part-notes"), Text("not ours"));
  RunResult run = Qrv({"extract", Join(dir, "a.dat"), "-C", out});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(Listing(out), (std::vector<std::string>{".keep.part-" + alive + "-1",
                                                    ".qrv-part-" + alive + "-0", ".qrv-part-notes",
                                                    "abc", "big_one", "z9"}));
}

// A long path: the scratch folder and part names would pass the system's
// limit where the final paths do not.
TEST(Extract, ADirectoryNearThePathLimitStillTakesItsEntries) {
  std::string dir = FreshDir("long-path");
  WriteFileBytes(Join(dir, "a.dat"), MakeArchive(SampleEntries()));
  std::string deep = fs::absolute(dir).string();
  while (deep.size() < 4072 - 201) deep = Join(deep, std::string(200, 'd'));
  deep = Join(deep, std::string(4072 - deep.size() - 1, 'e'));
  ASSERT_EQ(deep.size(), 4072u);
  RunResult run = Qrv({"extract", Join(dir, "a.dat"), "-C", deep});
  ASSERT_EQ(run.status, 0) << run.err;
  for (const auto& entry : SampleEntries()) EXPECT_EQ(ReadFileBytes(Join(deep, entry.name)), entry.data);
  EXPECT_EQ(Listing(deep).size(), 3u);
}

TEST(List, JsonIsValidForPathsThatAreNotUtf8) {
  std::string dir = FreshDir("json-bytes");
  std::string archive = Join(dir, "bad\xff\xfe\x01.dat");
  WriteFileBytes(archive, MakeArchive(SampleEntries()));
  RunResult run = Qrv({"list", "--json", archive});
  ASSERT_EQ(run.status, 0) << run.err;
  nlohmann::json parsed = nlohmann::json::parse(run.out, nullptr, false);
  ASSERT_FALSE(parsed.is_discarded()) << run.out;
  EXPECT_EQ(parsed["archive"].get<std::string>(), Join(dir, "bad\xef\xbf\xbd\xef\xbf\xbd\x01.dat"));
  EXPECT_EQ(parsed["entries"].size(), 3u);
  EXPECT_EQ(parsed["entries"][1]["name"], "big_one");
}
#endif

}  // namespace
}  // namespace qrv::test
