// End-to-end tests of editing with `qrv`: `update`, and extracting with a
// manifest and packing again, each checked byte for byte against the archive
// the writer makes of the entries expected; `encode --like`.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include <nlohmann/json.hpp>

#include "archive_writer.h"
#include "host_files.h"
#include "host_support.h"

#if !defined(_WIN32)
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace qrv::test {
namespace {
namespace fs = std::filesystem;
using Entries = std::vector<writer::ArchiveEntry>;
using Json = nlohmann::json;

Bytes Filled(size_t size, uint32_t seed) {
  Bytes bytes(size);
  std::mt19937 random(seed);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
  return bytes;
}

// CRC-32 bit by bit, apart from the host's table-driven one.
uint32_t Crc32(const Bytes& data) {
  uint32_t c = 0xffffffffu;
  for (uint8_t b : data) {
    c ^= b;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xedb88320u : c >> 1;
  }
  return ~c;
}

// An archive every edit goes through, and the entries each edit names: one to
// replace, one to remove, one to add before (none of them the 65,535-character
// name, which no Windows command line can carry).
struct ArchiveCase {
  const char* label;
  Entries entries;
  size_t replace, remove, before;
  Bytes afterEnd = {};  // after the 4-byte end mark, where a reader stops anyway
};

Bytes ArchiveOf(const ArchiveCase& c, const Entries& entries) {
  Bytes bytes = MakeArchive(entries);
  bytes.insert(bytes.end(), c.afterEnd.begin(), c.afterEnd.end());
  return bytes;
}

std::vector<ArchiveCase> Archives() {
  return {
      {"duplicates",
       {{"same", Text("first"), 1}, {"other", Text("between"), 2},
        {"same", Text("second, longer"), 3}, {"same", Text("third"), 4}},
       2, 0, 3},
      {"second-words",
       {{"w0", Text("zero"), 0}, {"w1", Text("ones"), 0xffffffffu},
        {"w2", Text("top bit"), 0x80000000u}, {"w3", Text("low bit"), 1},
        {"w4", Text("pattern"), 0x55aa55aau}, {"w5", Text("inverse"), 0xaa55aa55u}},
       1, 4, 2},
      {"large",
       {{"small", Text("s"), 9}, {"large", Filled((3 << 20) + 17, 1), 0x01020304u},
        {"tail", Text("t"), 0}},
       1, 2, 0},
      {"name-lengths",
       {{"a", Text("one"), 5}, {std::string(65535, 'n'), Filled(100, 2), 6},
        {std::string(200, 'x'), Text("two hundred"), 7}},
       2, 0, 2},
      // Ten zero bytes end the archive as well as four do; the rest is kept.
      {"long-end", {{"a", Text("abc"), 1}, {"b", Text("defg"), 2}}, 1, 0, 1,
       Text(std::string(6, '\0') + "trailing bytes")},
  };
}

// NAME, or NAME.N for the N-th of several entries with one name.
std::string Spelled(const Entries& entries, size_t index) {
  size_t n = 0;
  for (size_t i = 0; i <= index; ++i) n += entries[i].name == entries[index].name ? 1 : 0;
  return n == 1 ? entries[index].name : entries[index].name + "." + std::to_string(n);
}

enum class Edit { kNone, kReplace, kAdd, kAddBefore, kRemove, kAll };
const Edit kEdits[] = {Edit::kNone, Edit::kReplace, Edit::kAdd, Edit::kAddBefore, Edit::kRemove,
                       Edit::kAll};

// The entries after `edit`, and the update options that ask for it. The
// added entries' data is in the files `added` and `added_end` of `dir`.
Entries Expect(const ArchiveCase& c, Edit edit, const std::string& dir,
               std::vector<std::string>* options) {
  const Bytes replacement = Filled(1500, 3), added = Text("added"), addedEnd = Filled(70, 4);
  WriteFileBytes(Join(dir, "replacement"), replacement);
  WriteFileBytes(Join(dir, "added"), added);
  WriteFileBytes(Join(dir, "added_end"), addedEnd);
  Entries out;
  const bool all = edit == Edit::kAll;
  for (size_t i = 0; i < c.entries.size(); ++i) {
    if ((edit == Edit::kAddBefore || all) && i == c.before) out.push_back({"new_one", added, 0});
    if ((edit == Edit::kRemove || all) && i == c.remove) continue;
    out.push_back(c.entries[i]);
    if ((edit == Edit::kReplace || all) && i == c.replace) out.back().data = replacement;
  }
  if (edit == Edit::kAdd || all) out.push_back({"new_end", addedEnd, 0});
  // Requests in a scrambled order: only --before's place after its --add counts.
  if (edit == Edit::kAdd || all) options->insert(options->end(), {"--add", "new_end=" + Join(dir, "added_end")});
  if (edit == Edit::kAddBefore || all) {
    options->insert(options->end(), {"--add", "new_one=" + Join(dir, "added"), "--before",
                                     Spelled(c.entries, c.before)});
  }
  if (edit == Edit::kRemove || all) options->insert(options->end(), {"--remove", Spelled(c.entries, c.remove)});
  if (edit == Edit::kReplace || all) {
    options->insert(options->end(),
                    {"--replace", Spelled(c.entries, c.replace) + "=" + Join(dir, "replacement")});
  }
  return out;
}

TEST(Update, EveryArchiveThroughEveryEditKeepsEveryOtherByte) {
  for (const ArchiveCase& c : Archives()) {
    const std::string dir = FreshDir(std::string("update-") + c.label);
    const std::string archive = Join(dir, "a.dat");
    const Bytes original = ArchiveOf(c, c.entries);
    WriteFileBytes(archive, original);
    for (Edit edit : kEdits) {
      SCOPED_TRACE(std::string(c.label) + " edit " + std::to_string(static_cast<int>(edit)));
      std::vector<std::string> args = {"update", archive};
      const Bytes expected = ArchiveOf(c, Expect(c, edit, dir, &args));
      // To another file, and (with no change and with every change) in place
      // on a copy.
      const std::string out = Join(dir, "out.dat");
      args.insert(args.end(), {"-o", out});
      RunResult run = Qrv(args);
      ASSERT_EQ(run.status, 0) << run.err;
      EXPECT_TRUE(ReadFileBytes(out) == expected);
      EXPECT_TRUE(ReadFileBytes(archive) == original);
      if (edit != Edit::kNone && edit != Edit::kAll) continue;
      const std::string copy = Join(dir, "copy.dat");
      WriteFileBytes(copy, original);
      args.resize(args.size() - 2);
      args[1] = copy;
#if !defined(_WIN32)
      // Through a symbolic link, which stays one.
      ASSERT_EQ(chmod(copy.c_str(), 0640), 0);
      const std::string link = Join(dir, "link.dat");
      fs::remove(link);
      fs::create_symlink("copy.dat", link);
      args[1] = link;
#endif
      run = Qrv(args);
      ASSERT_EQ(run.status, 0) << run.err;
      EXPECT_TRUE(ReadFileBytes(copy) == expected);
#if !defined(_WIN32)
      struct stat info;
      ASSERT_EQ(stat(copy.c_str(), &info), 0);
      EXPECT_EQ(info.st_mode & 07777, 0640u) << "the permissions are kept";
      EXPECT_TRUE(fs::is_symlink(link));
      fs::remove(link);
#endif
      if (edit == Edit::kNone) {
        EXPECT_NE(run.out.find("entries copied unchanged"), std::string::npos);
      }
    }
    EXPECT_EQ(Listing(dir), (std::vector<std::string>{"a.dat", "added", "added_end", "copy.dat",
                                                      "out.dat", "replacement"}));
  }
}

// The manifest's record of each entry, compared field by field.
void ExpectManifest(const std::string& dir, const Entries& entries) {
  Json manifest = Json::parse(ReadFileBytes(Join(dir, "quorvanel-manifest.json")));
  EXPECT_EQ(manifest["archive"], "a.dat");
  ASSERT_EQ(manifest["entries"].size(), entries.size());
  std::set<std::string> files;
  for (size_t i = 0; i < entries.size(); ++i) {
    const Json& record = manifest["entries"][i];
    const std::string file = record["file"];
    EXPECT_EQ(record["name"], entries[i].name);
    EXPECT_EQ(record["size"], entries[i].data.size());
    EXPECT_EQ(record["second_word"], entries[i].secondWord);
    char crc[9];
    std::snprintf(crc, sizeof crc, "%08x", Crc32(entries[i].data));
    EXPECT_EQ(record["crc32"], crc) << i;
    EXPECT_TRUE(ReadFileBytes(Join(dir, file)) == entries[i].data) << file;
    EXPECT_TRUE(files.insert(file).second) << "two entries in " << file;
    // The first of each name keeps it; a later one or a long one gets its own
    // (on Windows already a name of 200 characters is too long for the
    // scratch folder's path).
    const bool first = Spelled(entries, i) == entries[i].name;
    if (!first) {
      EXPECT_EQ(file, Spelled(entries, i));
    } else if (entries[i].name.size() <= 100) {
      EXPECT_EQ(file, entries[i].name);
    }
    EXPECT_LE(file.size(), 200u);
  }
}

TEST(Manifest, ExtractAndPackAgainGivesTheSameArchiveAndEachEditOnlyItsEntry) {
  EXPECT_EQ(Crc32(Text("123456789")), 0xcbf43926u);
  for (const ArchiveCase& c : Archives()) {
    const std::string dir = FreshDir(std::string("manifest-") + c.label);
    const std::string archive = Join(dir, "a.dat");
    WriteFileBytes(archive, ArchiveOf(c, c.entries));
    const std::string out = Join(dir, "out");
    RunResult run = Qrv({"extract", archive, "-C", out, "--manifest"});
    ASSERT_EQ(run.status, 0) << run.err;
    // What follows the end mark is not kept, and the warning says so.
    EXPECT_EQ(run.err.find("are not the 4-byte end mark") != std::string::npos, !c.afterEnd.empty())
        << run.err;
    const std::string manifestPath = Join(out, "quorvanel-manifest.json");
    ExpectManifest(out, c.entries);
    const Bytes extractedText = ReadFileBytes(manifestPath);
    const Json extracted = Json::parse(extractedText);
    for (Edit edit : {Edit::kNone, Edit::kReplace, Edit::kAddBefore, Edit::kRemove}) {
      SCOPED_TRACE(std::string(c.label) + " edit " + std::to_string(static_cast<int>(edit)));
      // The edit, as a person would make it: a file changed, a line removed,
      // a line added.
      std::vector<std::string> unused;
      const Entries expected = Expect(c, edit, dir, &unused);
      Json manifest = extracted;
      Json& list = manifest["entries"];
      const std::string replaced = Join(out, list[c.replace]["file"]);
      if (edit == Edit::kReplace) {
        WriteFileBytes(replaced, expected[c.replace].data);
      } else if (edit == Edit::kRemove) {
        list.erase(c.remove);
      } else if (edit == Edit::kAddBefore) {
        WriteFileBytes(Join(out, "new.bin"), Text("added"));
        list.insert(list.begin() + static_cast<std::ptrdiff_t>(c.before),
                    Json{{"name", "new_one"}, {"file", "new.bin"}});
      }
      // Unedited, the manifest goes back as qrv wrote it.
      WriteFileBytes(manifestPath, edit == Edit::kNone ? extractedText : Text(manifest.dump(1)));
      const std::string packed = Join(dir, "packed.dat");
      run = Qrv({"pack", "--manifest", manifestPath, packed});
      ASSERT_EQ(run.status, 0) << run.err;
      EXPECT_TRUE(ReadFileBytes(packed) == MakeArchive(expected));
      size_t changed = 0;
      for (size_t at = 0; (at = run.out.find(", changed)", at)) != std::string::npos; ++at) ++changed;
      EXPECT_EQ(changed, edit == Edit::kReplace ? 1u : 0u) << run.out;
      WriteFileBytes(replaced, c.entries[c.replace].data);
    }
  }
}

struct Refusal {
  std::vector<std::string> args;
  int status;
  std::string message;
};

// Every refusal: its status and message, and the folder as it was.
void ExpectRefusals(const std::string& dir, const std::vector<Refusal>& rows) {
  std::vector<std::string> before = Listing(dir);
  std::vector<Bytes> contents;
  for (const std::string& name : before) {
    contents.push_back(fs::is_regular_file(Join(dir, name)) ? ReadFileBytes(Join(dir, name)) : Bytes());
  }
  for (const Refusal& row : rows) {
    std::string line;
    for (const std::string& arg : row.args) line += arg.substr(0, 60) + " ";
    SCOPED_TRACE(line);
    RunResult run = Qrv(row.args);
    EXPECT_EQ(run.status, row.status) << run.err;
    EXPECT_NE(run.err.find(row.message), std::string::npos) << run.err;
    ASSERT_EQ(Listing(dir), before) << "nothing is written, nothing left behind";
    for (size_t i = 0; i < before.size(); ++i) {
      if (fs::is_regular_file(Join(dir, before[i]))) {
        EXPECT_TRUE(ReadFileBytes(Join(dir, before[i])) == contents[i]) << before[i];
      }
    }
  }
}

TEST(Update, EveryRefusalComesBeforeAnythingIsWritten) {
  const std::string dir = FreshDir("update-refusals");
  const std::string a = Join(dir, "a.dat");
  const Bytes archive = MakeArchive(Archives()[0].entries);
  WriteFileBytes(a, archive);
  WriteFileBytes(Join(dir, "cut.dat"), Bytes(archive.begin(), archive.end() - 6));
  WriteFileBytes(Join(dir, "file"), Text("data"));
  WriteFileBytes(Join(dir, "empty"), Bytes());
  const std::string file = Join(dir, "file");
  const std::string aDotted = Join(Join(dir, "."), "a.dat");
  ExpectRefusals(dir, {
      {{"update", a, "--replace", "nope=" + file}, 2, "a.dat: no entry named nope"},
      {{"update", a, "--remove", "same.4"}, 2, "only 3 entries are named same, so there is no same.4"},
      {{"update", a, "--replace", "Same=" + file}, 2, "no entry named Same"},
      {{"update", a, "--replace", "other=" + Join(dir, "empty")}, 2, "is empty"},
      {{"update", a, "--replace", "other=" + Join(dir, "missing")}, 2, "missing: cannot open"},
      {{"update", a, "--replace", "other=" + dir}, 2, "is a directory"},
      {{"update", a, "--add", "other=" + file}, 2, "an entry named other is already there"},
      {{"update", a, "--add", "x=" + file, "--add", "x=" + file}, 2, "--add x is given twice"},
      {{"update", a, "--add", "New.Name=" + file}, 2, "it would be new_name"},
      {{"update", a, "--add", "x=" + file, "--before", "nope"}, 2, "--before nope: no entry named nope"},
      {{"update", a, "--remove", "other", "--add", "x=" + file, "--before", "other"}, 2,
       "that entry is removed"},
      {{"update", a, "--before", "other"}, 2, "--before NAME follows the --add"},
      {{"update", a, "--replace", "other"}, 2, "--replace takes NAME=FILE"},
      {{"update", a, "--replace", "other=" + file, "--remove", "other"}, 2, "named by two requests"},
      {{"update", a, "--remove", "same", "--remove", "same.2", "--remove", "same.3", "--remove",
        "other"}, 2, "leaves no archive"},
      {{"update", a, "-o", aDotted}, 2, "is the archive itself"},
      {{"update", a, "--add", "x=" + file, "-o", file}, 2, "would replace this input"},
      {{"update", Join(dir, "cut.dat")}, 1, "cut.dat: archive ends early"},
      {{"update", file}, 1, "file: not a Quorvanel Archive"},
      {{"update", "-"}, 2, "a stream cannot be updated in place"},
      {{"update", a, "--add"}, 2, "option --add needs a value"},
      {{"update", a, "--quiet=yes"}, 2, "option --quiet takes no value"},
      {{"update", a, "--quiet="}, 2, "option --quiet takes no value"},
      {{"update", "-", "-o", Join(dir, "from-empty-input.dat")}, 1, "-: not a Quorvanel Archive"},
      {{"update", a, "--bogus"}, 2, "unknown option --bogus for `qrv update`"},
      {{"update", a, "--output="}, 2, "--output \"\" names no file"},
      {{"update"}, 2, "update takes one archive"},
  });
}

TEST(Manifest, BadManifestsAreRefusedNamingTheLineOrField) {
  const std::string dir = FreshDir("manifest-refusals");
  WriteFileBytes(Join(dir, "file"), Text("data"));
  WriteFileBytes(Join(dir, "empty"), Bytes());
  WriteFileBytes(Join(dir, "a.dat"), MakeArchive(Archives()[0].entries));
  struct Row {
    std::string text;
    std::string message;
  };
  const std::string first = "{\"entries\": [\n{\"name\": \"ok\", \"file\": \"file\"},\n";
  const Row rows[] = {
      {first + "{\"name\": \"b\" \"file\": \"file\"}\n]}", "parse error at line 3, column 19"},
      {first + "{\"name\": \"b\", \"file\": \"missing\"}\n]}", ":3: entry 2 (b): "},
      {first + "{\"name\": \"b\", \"file\": \"empty\"}\n]}", "empty: is empty"},
      {first + "{\"name\": \"Bad.Name\"}\n]}", ":3: entry 2 (Bad.Name): field \"name\": cannot be stored"},
      {first + "{\"name\": \"b\", \"file\": \"file\", \"second_word\": 4294967296}\n]}",
       "field \"second_word\": not a whole number from 0 to 4294967295"},
      {first + "{\"name\": \"b\", \"file\": \"file\", \"secondword\": 1}\n]}",
       ":3: entry 2 (b): field \"secondword\": unknown"},
      {first + "{\"name\": \"b\", \"file\": \"file\", \"crc32\": \"xyz\"}\n]}", "field \"crc32\""},
      {first + "\"b\"\n]}", ":3: entry 2: an entry is an object"},
      {"{\"entries\": []}", "field \"entries\": missing or empty"},
      {"[1, 2]", "field \"entries\": missing or empty"},
  };
  std::vector<Refusal> refusals;
  for (size_t i = 0; i < std::size(rows); ++i) {
    std::string name = "m";
    const std::string path = Join(dir, (name += std::to_string(i)) + ".json");
    WriteFileBytes(path, Text(rows[i].text));
    refusals.push_back({{"pack", "--manifest", path, Join(dir, "out.dat")}, 1, rows[i].message});
  }
  const std::string good = Join(dir, "m0.json");
  refusals.push_back({{"pack", "--manifest", good, Join(dir, "out.dat"), Join(dir, "file")}, 2,
                      "takes the output archive alone"});
  refusals.push_back({{"pack", "--manifest", good, good}, 2, "would replace this input"});
  refusals.push_back({{"extract", Join(dir, "a.dat"), "same", "--manifest"}, 2, "takes no NAME"});
  refusals.push_back({{"extract", Join(dir, "a.dat"), "--stdout", "--manifest"}, 2, "exclude each other"});
  ExpectRefusals(dir, refusals);
}

#if !defined(_WIN32)
// Signals and a file-size limit while `update` writes: the archive stays as
// it was and no part file is left.
TEST(Update, SignalsAndFullDisksLeaveTheArchiveAsItWas) {
  const std::string dir = FreshDir("update-faults");
  Entries entries;
  Bytes data = Filled(128 * 1024, 5);
  for (uint32_t i = 0; i < 400; ++i) {
    data[0] = static_cast<uint8_t>(i);
    std::string name = "e";
    entries.push_back({name += std::to_string(i), data, i});
  }
  const std::string archive = Join(dir, "a.dat");
  const Bytes original = MakeArchive(entries);
  WriteFileBytes(archive, original);
  WriteFileBytes(Join(dir, "new"), Text("new data"));
  const std::vector<std::string> args = {"update", archive, "--replace", "e0=" + Join(dir, "new")};
  struct Signal {
    int number;
    int status;
  };
  for (const Signal s : {Signal{SIGINT, 130}, Signal{SIGHUP, 129}, Signal{SIGTERM, 143}}) {
    SCOPED_TRACE(s.number);
    Child child = StartProgram(QrvProgram(), args);
    ASSERT_GT(child.pid, 0);
    // The part file beside the archive shows that the writing has begun.
    for (int wait = 0; wait < 4000 && Listing(dir).size() < 3; ++wait) usleep(500);
    ASSERT_EQ(kill(child.pid, s.number), 0);
    RunResult run = WaitProgram(child);
    EXPECT_EQ(run.status, s.status) << run.err;
    EXPECT_NE(run.err.find("qrv: interrupted"), std::string::npos) << run.err;
    EXPECT_TRUE(ReadFileBytes(archive) == original);
    EXPECT_EQ(Listing(dir), (std::vector<std::string>{"a.dat", "new"}));
  }
  RunOptions limited;
  limited.fileSizeLimit = 1 << 20;
  for (bool inPlace : {true, false}) {
    std::vector<std::string> limitedArgs = args;
    if (!inPlace) limitedArgs.insert(limitedArgs.end(), {"-o", Join(dir, "out.dat")});
    RunResult run = RunProgramWith(QrvProgram(), limitedArgs, limited);
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_NE(run.err.find("File too large"), std::string::npos) << run.err;
    EXPECT_TRUE(ReadFileBytes(archive) == original);
    EXPECT_EQ(Listing(dir), (std::vector<std::string>{"a.dat", "new"}));
  }
}
#endif

// `encode --like`: the original's size and depth are kept or the picture is
// refused with the reason.
TEST(Encode, LikeKeepsTheOriginalsSizeAndDepth) {
  const std::string dir = FreshDir("encode-like");
  const Samples grey = MakeSamples(6, 4, 8, 1), colour = MakeSamples(6, 4, 24, 2);
  WriteFileBytes(Join(dir, "grey.qcg"), EncodeSamples(grey));
  WriteFileBytes(Join(dir, "colour.qcg"), EncodeSamples(colour));
  // The grey levels as colour pixels, and with one pixel coloured.
  Samples greyAsColour{6, 4, 24, {}};
  for (uint8_t level : grey.bytes) greyAsColour.bytes.insert(greyAsColour.bytes.end(), 3, level);
  Samples oneColoured = greyAsColour;
  const unsigned level = grey.bytes[1 * 6 + 4];
  oneColoured.bytes[(1 * 6 + 4) * 3 + 2] ^= 1;  // red
  const std::string coloured = "the pixel at (4, 1) has the colour red " + std::to_string(level ^ 1) +
                               ", green " + std::to_string(level) + ", blue " + std::to_string(level);
  // A colour table whose entry 5 is not grey, used by the first pixel.
  Samples tintedIndices = grey;
  tintedIndices.bytes[0] = 5;
  Bytes tinted = GreyTable();
  tinted[5 * 4] ^= 1;
  WriteFileBytes(Join(dir, "grey.bmp"), WriteBitmapFile(grey, GreyTable()));
  WriteFileBytes(Join(dir, "tinted.bmp"), WriteBitmapFile(tintedIndices, tinted));
  WriteFileBytes(Join(dir, "rgb-grey.bmp"), WriteBitmapFile(greyAsColour, Bytes()));
  WriteFileBytes(Join(dir, "one-coloured.bmp"), WriteBitmapFile(oneColoured, Bytes()));
  WriteFileBytes(Join(dir, "colour.bmp"), WriteBitmapFile(colour, Bytes()));
  WriteFileBytes(Join(dir, "wide.bmp"), WriteBitmapFile(MakeSamples(7, 4, 24, 3), Bytes()));
  struct Row {
    const char* original;
    const char* input;
    int status;
    int bits;               // of the picture written
    const Samples* pixels;  // what it decodes to
    std::string message;    // on standard error
  };
  const Row rows[] = {
      {"grey.qcg", "grey.bmp", 0, 8, &grey, ""},
      {"grey.qcg", "rgb-grey.bmp", 0, 8, &grey, ""},
      {"grey.qcg", "one-coloured.bmp", 1, 0, nullptr, coloured},
      {"grey.qcg", "tinted.bmp", 1, 0, nullptr,
       "the pixel at (0, 0) has the colour red 5, green 5, blue 4, which an 8-bit grey picture"},
      {"colour.qcg", "colour.bmp", 0, 24, &colour, ""},
      {"colour.qcg", "grey.bmp", 0, 24, &greyAsColour, "grey.bmp is grey; written at 24 bits"},
      {"colour.qcg", "wide.bmp", 1, 0, nullptr, "7 x 4 pixels, but " + Join(dir, "colour.qcg") + " has 6 x 4"},
      {"grey.bmp", "grey.bmp", 1, 0, nullptr, "not a Quorvanel CG picture (--like names"},
      {"out.qcg", "grey.bmp", 2, 0, nullptr, "would replace this input"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.original) + " " + row.input);
    const std::string out = Join(dir, "out.qcg");
    WriteFileBytes(out, Text("old"));
    RunResult run = Qrv({"encode", "--like", Join(dir, row.original), Join(dir, row.input), out});
    EXPECT_EQ(run.status, row.status) << run.err;
    EXPECT_NE(run.err.find(row.message), std::string::npos) << run.err;
    if (row.pixels == nullptr) {
      EXPECT_TRUE(ReadFileBytes(out) == Text("old"));
      continue;
    }
    ASSERT_EQ(Qrv({"convert", out, Join(dir, "back.bmp")}).status, 0);
    BitmapFile bitmap;
    ASSERT_EQ(ReadBitmapFile(ReadFileBytes(Join(dir, "back.bmp")), &bitmap), "");
    EXPECT_EQ(bitmap.bits, row.bits);
    EXPECT_TRUE(bitmap.samples == row.pixels->bytes);
  }
}

}  // namespace
}  // namespace qrv::test
