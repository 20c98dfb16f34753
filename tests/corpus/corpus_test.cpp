// Runs every case of expected.txt: each export of the case's plug-in, on the
// file's bytes from memory, from a file at offset 0 and from a file with filler
// bytes before the data, and (for detection) the head as a block and as a file
// handle. Every input kind must give the expected answer.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "corpus.h"
#include "plugin_library.h"
#include "test_files.h"

namespace qrv::corpus {
namespace {

using test::Bytes;

struct Case {
  std::string kind;  // "image" or "archive"
  std::string file;
  std::multimap<std::string, std::string> expected;  // export -> answer names
};

std::string CorpusDir() { return ProgramDirectory() + "corpus"; }

std::vector<Case> ReadCases() {
  std::vector<Case> cases;
  std::ifstream in(CorpusDir() + "/expected.txt");
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    Case c;
    fields >> c.file;
    c.kind = c.file.substr(0, c.file.find('/'));
    for (std::string item; fields >> item;) {
      const size_t eq = item.find('=');
      c.expected.emplace(item.substr(0, eq), item.substr(eq + 1));
    }
    cases.push_back(c);
  }
  return cases;
}

std::string CodeName(int32_t rc) {
  switch (rc) {
    case RC_OK: return "OK";
    case RC_NOT_IMPLEMENTED: return "NOT_IMPLEMENTED";
    case RC_ABORTED: return "ABORTED";
    case RC_UNKNOWN_FORMAT: return "UNKNOWN_FORMAT";
    case RC_NO_MEMORY: return "NO_MEMORY";
    case RC_MEMORY_ERROR: return "MEMORY_ERROR";
    case RC_READ_ERROR: return "READ_ERROR";
    case RC_INTERNAL_ERROR: return "INTERNAL_ERROR";
    default: return "code " + std::to_string(rc);
  }
}

bool SameIgnoringCase(const char* a, const std::string& b) {
  auto fold = [](char ch) { return (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch - 'A' + 'a') : ch; };
  size_t i = 0;
  for (; a[i] != 0 && i < b.size(); ++i) {
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return a[i] == 0 && i == b.size();
}

// A new empty directory, and later the number of files found in it before it
// is removed again.
std::string MakeDirectory() {
  static int made = 0;
  const std::string dir = test::ScratchPath("out-" + std::to_string(++made));
  std::filesystem::create_directories(dir);
  return dir;
}

size_t RemoveDirectory(const std::string& dir) {
  size_t count = 0;
  for (const auto& item : std::filesystem::directory_iterator(dir)) count += item.is_regular_file();
  std::filesystem::remove_all(dir);
  return count;
}

// True when `answer` is one of the '|'-separated names in `allowed`.
bool Allowed(const std::string& allowed, const std::string& answer) {
  std::istringstream names(allowed);
  for (std::string name; std::getline(names, name, '|');) {
    if (name == answer) return true;
  }
  return false;
}

// A data source in each input kind: memory, a file from offset 0, and a file
// with filler bytes before the data.
struct Source {
  const char* label;
  char* src;
  int32_t len;
  uint32_t flag;
};

class Sources {
 public:
  Sources(const std::string& name, const Bytes& bytes) : memory_(bytes) {
    plain_ = test::ScratchPath(name + ".plain");
    offset_ = test::ScratchPath(name + ".offset");
    test::WriteFileBytes(plain_, bytes);
    Bytes shifted(kFiller, 0x5a);
    shifted.insert(shifted.end(), bytes.begin(), bytes.end());
    test::WriteFileBytes(offset_, shifted);
    // Never an empty vector's null address: a null memory source is another case.
    memory_.reserve(1);
  }

  std::vector<Source> All() {
    return {{"memory", reinterpret_cast<char*>(memory_.data()), static_cast<int32_t>(memory_.size()),
             QRV_INPUT_MEMORY},
            {"file", plain_.data(), 0, QRV_INPUT_FILE},
            {"file at an offset", offset_.data(), kFiller, QRV_INPUT_FILE}};
  }

 private:
  static constexpr int32_t kFiller = 37;
  Bytes memory_;
  std::string plain_;
  std::string offset_;
};

void CheckDetection(const Exports& exports, const Case& c, const Bytes& bytes) {
  const auto expected = c.expected.find("IsSupported");
  ASSERT_NE(expected, c.expected.end()) << "no IsSupported answer";
  Bytes head(bytes);
  head.resize(QRV_HEAD_SIZE, 0);
  char name[] = "corpus.input";
  EXPECT_TRUE(Allowed(expected->second,
                      std::to_string(exports.isSupported(name, reinterpret_cast<uintptr_t>(head.data())))))
      << "IsSupported, head as a block";
  CheckAfterCall(0);
  test::ProbeFile probe(test::ScratchPath(c.file.substr(c.file.find('/') + 1) + ".plain"));
  ASSERT_TRUE(probe.ok());
  EXPECT_TRUE(Allowed(expected->second, std::to_string(exports.isSupported(name, probe.value()))))
      << "IsSupported, head from a file handle";
  EXPECT_EQ(probe.Position(), 0) << "the handle was not left where it stood";
  CheckAfterCall(0);
}

void CheckPicture(const Exports& exports, const Case& c, Sources& sources) {
  for (const Source& s : sources.All()) {
    SCOPED_TRACE(s.label);
    PictureInfo info = {};
    const int32_t infoRc = exports.getPictureInfo(s.src, s.len, s.flag, &info);
    EXPECT_TRUE(Allowed(c.expected.find("GetPictureInfo")->second, CodeName(infoRc)))
        << "GetPictureInfo: " << CodeName(infoRc);
    CheckAfterCall(0);

    QrvBlock header = nullptr;
    QrvBlock pixels = nullptr;
    const int32_t rc = exports.getPicture(s.src, s.len, s.flag, &header, &pixels, nullptr, 0);
    EXPECT_TRUE(Allowed(c.expected.find("GetPicture")->second, CodeName(rc)))
        << "GetPicture: " << CodeName(rc);
    CheckAfterCall(rc == RC_OK ? 2 : 0);
    if (rc == RC_OK) {
      FreeBlock(header);
      FreeBlock(pixels);
    }
  }
}

void CheckArchive(const Exports& exports, const Case& c, Sources& sources) {
  for (const Source& s : sources.All()) {
    SCOPED_TRACE(s.label);
    QrvBlock listing = nullptr;
    const int32_t listRc = exports.getArchiveInfo(s.src, s.len, s.flag, &listing);
    EXPECT_TRUE(Allowed(c.expected.find("GetArchiveInfo")->second, CodeName(listRc)))
        << "GetArchiveInfo: " << CodeName(listRc);
    CheckAfterCall(listRc == RC_OK ? 1 : 0);
    if (listRc == RC_OK) FreeBlock(listing);

    for (const auto& [key, answer] : c.expected) {
      if (key.rfind("GetFileInfo", 0) != 0) continue;
      const bool ignoreCase = key.rfind("GetFileInfo/i:", 0) == 0;
      std::string name = key.substr(key.find(':') + 1);
      FileInfo info;
      std::memset(&info, 0x33, sizeof info);
      const int32_t rc = exports.getFileInfo(s.src, s.len, name.data(),
                                             s.flag | (ignoreCase ? uint32_t{QRV_IGNORE_CASE} : 0u), &info);
      EXPECT_TRUE(Allowed(answer, CodeName(rc))) << key << ": " << CodeName(rc);
      if (rc == RC_OK && name.size() < 199) {
        EXPECT_TRUE(SameIgnoringCase(info.file_name, name)) << key << " found " << info.file_name;
      }
      CheckAfterCall(0);
    }

    QrvBlock block = nullptr;
    const std::string& getFile = c.expected.find("GetFile")->second;
    const int32_t rc = exports.getFile(s.src, s.len, reinterpret_cast<char*>(&block),
                                       s.flag | QRV_OUTPUT_MEMORY, nullptr, 0);
    EXPECT_TRUE(Allowed(getFile, CodeName(rc))) << "GetFile to memory: " << CodeName(rc);
    CheckAfterCall(rc == RC_OK ? 1 : 0);
    if (rc == RC_OK) FreeBlock(block);

    // Into a fresh directory, so that what the call left there can be seen.
    const auto toDir = c.expected.find("GetFileToDir");
    const std::string dir = MakeDirectory();
    std::string dest = dir;
    const int32_t fileRc = exports.getFile(s.src, s.len, dest.data(), s.flag, nullptr, 0);
    EXPECT_TRUE(Allowed(toDir != c.expected.end() ? toDir->second : getFile, CodeName(fileRc)))
        << "GetFile to a directory: " << CodeName(fileRc);
    CheckAfterCall(0);
    const size_t written = RemoveDirectory(dir);
    if (fileRc == RC_OK) {
      EXPECT_EQ(written, 1u) << "files written";
    } else if (fileRc != RC_INTERNAL_ERROR) {
      EXPECT_EQ(written, 0u) << "a failed extraction left a file";
    }
  }
}

TEST(Corpus, EveryFileGivesItsExpectedAnswers) {
  const std::vector<Case> cases = ReadCases();
  ASSERT_GT(cases.size(), 40u) << "expected.txt not found in " << CorpusDir();
  int run = 0;
  for (const Case& c : cases) {
    const Exports* exports = ExportsFor(c.kind);
    if (exports == nullptr) continue;
    SCOPED_TRACE(c.file);
    bool exists = false;
    const Bytes bytes = test::ReadFileBytes(CorpusDir() + "/" + c.file, &exists);
    ASSERT_TRUE(exists);
    Sources sources(c.file.substr(c.file.find('/') + 1), bytes);
    CheckDetection(*exports, c, bytes);
    if (c.kind == "image") {
      CheckPicture(*exports, c, sources);
    } else {
      CheckArchive(*exports, c, sources);
    }
    ++run;
  }
  EXPECT_GT(run, 15) << "cases run";
}

}  // namespace
}  // namespace qrv::corpus
