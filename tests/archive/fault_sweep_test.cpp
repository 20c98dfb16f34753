// Every failure path of every export, driven through the fault-injecting
// backend: for each kind of operation, the 1st, 2nd, ... call fails in turn
// until the export completes without reaching the fault. Each failure must give
// its result code and leave no stream, block, name buffer or output file behind,
// and hand nothing to the host.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>

#include "archive_builder.h"
#include "exports.h"

namespace qrv::test {
namespace {

constexpr int kOffset = 50;  // where the archive starts in the file sources

// The kind of operation the running sweep step fails.
Op armedOp = Op::kCount;


Bytes SweepArchive() {
  return ArchiveBuilder()
      .Entry("alpha", Pattern(100, 1))
      .Entry("beta_2", Pattern(70000, 2))  // larger than a file stream's buffer
      .Entry("c", Pattern(3, 3))
      .EndMark()
      .bytes();
}

constexpr uint32_t kBetaPosition = 115;  // 10 + 5 + 100
constexpr size_t kBetaSize = 70000;

struct Scenario {
  std::string what;
  bool fileSource = false;
  bool fileOutput = false;
  bool detection = false;  // IsSupported: the answer is 1 or 0
  // Runs the export once.
  std::function<int32_t()> call;
  // Afterwards, with no fault armed: checks and takes over what a successful
  // call handed out; true when anything was handed out.
  std::function<bool(int32_t rc)> settle;
  std::string outputFile;  // file output: the file that must not be left behind
};

// What the nth failing call of `op` must answer.
int32_t ExpectedCode(const Scenario& s, Op op, int nth) {
  if (s.detection) return op == Op::kClose ? 1 : 0;
  switch (op) {
    case Op::kAlloc: return RC_NO_MEMORY;
    case Op::kLock: return RC_MEMORY_ERROR;
    case Op::kOpen:
      if (nth > 1) return RC_INTERNAL_ERROR;  // the output file
      return s.fileSource ? RC_READ_ERROR : RC_MEMORY_ERROR;
    case Op::kWrite: return RC_INTERNAL_ERROR;
    case Op::kClose: return nth > 1 ? RC_INTERNAL_ERROR : RC_READ_ERROR;
    default: return RC_READ_ERROR;
  }
}

void Sweep(const Scenario& s) {
  int deepest[kOpCount] = {};  // the last call of each kind that was failed
  for (int o = 0; o < kOpCount; ++o) {
    const Op op = static_cast<Op>(o);
    for (Fault how : {Fault::kFail, Fault::kShort}) {
      if (how == Fault::kShort && op != Op::kRead && op != Op::kWrite) continue;
      for (int nth = 1;; ++nth) {
        ASSERT_LT(nth, 1000) << s.what << ": no end to the calls of " << OpName(op);
        SCOPED_TRACE(s.what + ": " + OpName(op) + (how == Fault::kShort ? " (short)" : "") +
                     " #" + std::to_string(nth));
        ArmFault(op, nth, how);
        armedOp = op;
        int32_t rc = s.call();
        bool reached = FaultReached();
        ResetFaults();
        bool handed = s.settle(rc);
        EXPECT_EQ(OpenStreams(), 0) << LiveSummary();
        EXPECT_EQ(LiveBlocks(), 0) << LiveSummary();
        EXPECT_EQ(LiveScratch(), 0) << LiveSummary();
        if (!s.outputFile.empty()) {
          if (rc == RC_OK) {
            std::filesystem::remove(s.outputFile);
          } else {
            EXPECT_FALSE(FileExists(s.outputFile)) << "a file left behind";
          }
        }
        if (!reached) {
          EXPECT_EQ(rc, s.detection ? 1 : RC_OK);
          break;
        }
        deepest[o] = std::max(deepest[o], nth);
        if (!s.detection && rc != RC_OK) {
          EXPECT_FALSE(handed) << "a block handed over on failure";
        }
        if (how == Fault::kFail) {
          EXPECT_EQ(rc, ExpectedCode(s, op, nth));
        } else if (!s.detection) {
          // One byte fewer: a damaged header, missing data, or (at the end mark,
          // 3 zero bytes instead of 4) still an accepted end.
          const int32_t allowed[] = {RC_OK, RC_UNKNOWN_FORMAT, RC_READ_ERROR, RC_INTERNAL_ERROR};
          EXPECT_NE(std::find(std::begin(allowed), std::end(allowed), rc), std::end(allowed)) << rc;
          if (op == Op::kWrite) {
            EXPECT_EQ(rc, RC_INTERNAL_ERROR);
          }
        }
      }
    }
  }
  // The sweep reached what the call must do: open and read a source, allocate
  // a name buffer, close; the file output's own open, write and close.
  SCOPED_TRACE(s.what);
  EXPECT_GE(deepest[static_cast<int>(Op::kOpen)], s.fileOutput ? 2 : 1);
  EXPECT_GE(deepest[static_cast<int>(Op::kRead)], 2);
  EXPECT_GE(deepest[static_cast<int>(Op::kAlloc)], 1);
  EXPECT_GE(deepest[static_cast<int>(Op::kClose)], s.fileOutput ? 2 : 1);
  EXPECT_EQ(deepest[static_cast<int>(Op::kWrite)] > 0, s.fileOutput);
}

class FaultSweep : public testing::Test {
 protected:
  void SetUp() override {
    ResetFaults();
    memory_ = SweepArchive();
    Bytes file = Pattern(kOffset, 9);
    file.insert(file.end(), memory_.begin(), memory_.end());
    path_ = ScratchPath("sweep.dat");
    WriteFileBytes(path_, file);
    outDir_ = ScratchPath("sweep-out");
    std::filesystem::create_directories(outDir_);
  }
  void TearDown() override { ResetFaults(); }

  char* Src(bool file) { return file ? path_.data() : AsSource(memory_); }
  int32_t Len(bool file, uint32_t at = 0) {
    return file ? kOffset + static_cast<int32_t>(at) : Length(memory_) - static_cast<int32_t>(at);
  }

  Bytes memory_;
  std::string path_;
  std::string outDir_;
};

TEST_F(FaultSweep, GetArchiveInfo) {
  for (bool file : {false, true}) {
    Scenario s;
    s.what = file ? "listing a file" : "listing memory";
    s.fileSource = file;
    QrvBlock block = nullptr;
    s.call = [&, file] {
      block = reinterpret_cast<QrvBlock>(uintptr_t{1});
      return GetArchiveInfo(Src(file), Len(file), file ? 0 : 1, &block);
    };
    s.settle = [&](int32_t rc) {
      if (rc != RC_OK) return block != nullptr;
      std::vector<FileInfo> records = TakeListing(block);
      EXPECT_EQ(records.size(), 4u);
      EXPECT_EQ(records.size() == 4 ? records[1].position : 0, kBetaPosition);
      return true;
    };
    Sweep(s);
  }
}

TEST_F(FaultSweep, GetFileInfo) {
  for (bool file : {false, true}) {
    Scenario s;
    s.what = file ? "lookup in a file" : "lookup in memory";
    s.fileSource = file;
    FileInfo info;
    s.call = [&, file] {
      std::memset(&info, 0x5a, sizeof info);
      return GetFileInfo(Src(file), Len(file), const_cast<char*>("C"), (file ? 0 : 1) | 0x80,
                         &info);
    };
    s.settle = [&](int32_t rc) {
      if (rc == RC_OK) {
        EXPECT_EQ(info.position, kBetaPosition + 10 + 6 + kBetaSize);
        EXPECT_EQ(info.size, 3u);
      }
      return info.position != 0x5a5a5a5au;
    };
    Sweep(s);
  }
}

TEST_F(FaultSweep, GetFile) {
  const Bytes expected = Pattern(kBetaSize, 2);
  const std::string output = outDir_ + "/beta_2";
  for (bool file : {false, true}) {
    for (bool toFile : {false, true}) {
      Scenario s;
      s.what = std::string(file ? "file" : "memory") + " to " + (toFile ? "file" : "memory");
      s.fileSource = file;
      s.fileOutput = toFile;
      if (toFile) s.outputFile = output;
      QrvBlock block = nullptr;
      s.call = [&, file, toFile] {
        // A memory source must begin with the entry's header.
        char* src = file ? path_.data() : AsSource(memory_) + kBetaPosition;
        int32_t len = Len(file, kBetaPosition);
        block = reinterpret_cast<QrvBlock>(uintptr_t{1});
        std::string dest = outDir_;
        char* destArg = toFile ? dest.data() : reinterpret_cast<char*>(&block);
        return GetFile(src, len, destArg, (file ? 0 : 1) | (toFile ? 0 : 0x100), nullptr, 0);
      };
      s.settle = [&, toFile](int32_t rc) {
        if (toFile) {
          if (rc == RC_OK) {
            EXPECT_EQ(ReadFileBytes(output), expected);
          }
          return false;
        }
        if (rc != RC_OK) return block != nullptr;
        EXPECT_EQ(TakeBlock(block, kBetaSize), expected);
        return true;
      };
      Sweep(s);
    }
  }
}

TEST_F(FaultSweep, IsSupported) {
  Bytes head = memory_;
  head.resize(QRV_HEAD_SIZE);
  std::string probePath = ScratchPath("sweep-probe.dat");
  WriteFileBytes(probePath, Bytes(memory_.begin(), memory_.begin() + 1000));
  for (bool handle : {false, true}) {
    Scenario s;
    s.what = handle ? "detection through a handle" : "detection from memory";
    s.detection = true;
    s.call = [&, handle] {
      if (!handle) return IsSupported(nullptr, reinterpret_cast<uintptr_t>(head.data()));
      ProbeFile probe(probePath);
      EXPECT_TRUE(probe.ok());
      int32_t answer = IsSupported(nullptr, probe.value());
      // Only a failed move can leave the handle elsewhere.
      if (armedOp != Op::kProbeMove) {
        EXPECT_EQ(probe.Position(), 0);
      }
      return answer;
    };
    s.settle = [](int32_t) { return false; };
    Sweep(s);
  }
}

}  // namespace
}  // namespace qrv::test
