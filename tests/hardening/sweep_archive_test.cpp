// The fault sweep over every export of the archive extractor and every input
// kind: detection from a block and from a file handle; the listing and the
// lookup (by exact name, ignoring case, and of a missing name) from memory,
// from a file and from a file at an offset; extraction from memory and from a
// file at the entry's position, into memory and into a directory.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "archive_writer.h"
#include "sweep.h"
#include "test_files.h"

namespace qrv::hardening {
namespace {

using test::Bytes;

Bytes Data(size_t size, uint8_t start) {
  Bytes data(size);
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(start + i * 7);
  return data;
}

struct Sources {
  static constexpr int32_t kOffset = 64;
  Bytes memory;
  std::string plain;
  std::string shifted;
};

struct Kind {
  const char* label;
  uint32_t flag;
  std::function<char*(Sources&, uint32_t)> src;  // at an entry position
  std::function<int32_t(Sources&, uint32_t)> len;
  std::set<int32_t> onOpen;
};

const std::vector<Kind>& Kinds() {
  static const std::vector<Kind> kinds = {
      {"memory", QRV_INPUT_MEMORY,
       [](Sources& s, uint32_t at) { return reinterpret_cast<char*>(s.memory.data()) + at; },
       [](Sources& s, uint32_t at) { return static_cast<int32_t>(s.memory.size() - at); },
       {RC_MEMORY_ERROR}},
      {"file", QRV_INPUT_FILE, [](Sources& s, uint32_t) { return s.plain.data(); },
       [](Sources&, uint32_t at) { return static_cast<int32_t>(at); }, {RC_READ_ERROR}},
      {"file at an offset", QRV_INPUT_FILE, [](Sources& s, uint32_t) { return s.shifted.data(); },
       [](Sources&, uint32_t at) { return static_cast<int32_t>(Sources::kOffset + at); },
       {RC_READ_ERROR}},
  };
  return kinds;
}

Bytes BlockBytes(QrvBlock block, size_t size) { return test::HostBlockBytes(block, size); }

TEST(ArchiveFaultSweep, EveryExportEveryInputKind) {
  // Three entries; the second one's data is not a multiple of 32 bytes, so
  // extraction reads 32 chunks and a last piece.
  const std::vector<writer::ArchiveEntry> entries = {
      {"first", Data(40, 1), 7}, {"second_2", Data(101, 2), 0}, {"z", Data(3, 3), 0}};
  Sources sources;
  std::string error;
  ASSERT_TRUE(writer::WriteArchive(entries, &sources.memory, &error)) << error;
  sources.plain = test::ScratchPath("archive.dat");
  sources.shifted = test::ScratchPath("archive-shifted.dat");
  test::WriteFileBytes(sources.plain, sources.memory);
  Bytes withFiller(Sources::kOffset, 0xee);
  withFiller.insert(withFiller.end(), sources.memory.begin(), sources.memory.end());
  test::WriteFileBytes(sources.shifted, withFiller);
  const uint32_t second = 10 + 5 + 40;  // the second entry's position
  const std::string outDir = test::ScratchPath("out");
  std::filesystem::create_directories(outDir);
  const std::string outFile = test::ScratchPath("out/second_2");

  std::vector<std::pair<std::string, SweepCount>> counts;
  for (const Kind& kind : Kinds()) {
    const std::string suffix = std::string(", ") + kind.label;
    SweepCall listing{"GetArchiveInfo" + suffix, false, kind.onOpen, "", [&](int32_t) {
                        QrvBlock block = nullptr;
                        Outcome out;
                        out.rc = GetArchiveInfo(kind.src(sources, 0), kind.len(sources, 0), kind.flag, &block);
                        if (out.rc == RC_OK) {
                          out.handedOver = {block};
                          out.delivered = BlockBytes(block, (entries.size() + 1) * sizeof(FileInfo));
                        }
                        return out;
                      }};
    counts.emplace_back(listing.name, Sweep(listing));

    struct Lookup {
      const char* label;
      const char* name;
      uint32_t flag;
    };
    for (const Lookup& lookup : {Lookup{"exact", "second_2", 0}, Lookup{"ignoring case", "SECOND_2", QRV_IGNORE_CASE},
                                 Lookup{"missing", "absent", 0}}) {
      const bool found = std::strcmp(lookup.label, "missing") != 0;
      SweepCall call{"GetFileInfo, " + std::string(lookup.label) + suffix, false, kind.onOpen, "",
                     [&, lookup, found](int32_t) {
                       FileInfo record;
                       std::memset(&record, 0x22, sizeof record);
                       std::string name = lookup.name;
                       Outcome out;
                       out.rc = GetFileInfo(kind.src(sources, 0), kind.len(sources, 0), name.data(),
                                            kind.flag | lookup.flag, &record);
                       // A missing name is a read error by definition: sweep it as a success.
                       if (!found && out.rc == RC_READ_ERROR && !test::FaultReached()) out.rc = RC_OK;
                       out.delivered.assign(reinterpret_cast<uint8_t*>(&record),
                                            reinterpret_cast<uint8_t*>(&record) + sizeof record);
                       return out;
                     }};
      counts.emplace_back(call.name, Sweep(call));
    }

    SweepCall toMemory{"GetFile to memory" + suffix, false, kind.onOpen, "", [&](int32_t stopAt) {
                         StopAt progress{stopAt};
                         QrvBlock block = nullptr;
                         Outcome out;
                         out.rc = GetFile(kind.src(sources, second), kind.len(sources, second),
                                          reinterpret_cast<char*>(&block), kind.flag | QRV_OUTPUT_MEMORY,
                                          &StopAt::Callback, progress.user());
                         out.progressCalls = progress.calls;
                         if (out.rc == RC_OK) {
                           out.handedOver = {block};
                           out.delivered = BlockBytes(block, entries[1].data.size());
                         }
                         return out;
                       }};
    counts.emplace_back(toMemory.name, Sweep(toMemory));

    std::set<int32_t> onOpenToDir = kind.onOpen;
    onOpenToDir.insert(RC_INTERNAL_ERROR);  // the output file cannot be created
    SweepCall toDir{"GetFile to a directory" + suffix, false, onOpenToDir, outFile, [&](int32_t stopAt) {
                      StopAt progress{stopAt};
                      std::string dest = outDir;
                      Outcome out;
                      out.rc = GetFile(kind.src(sources, second), kind.len(sources, second), dest.data(),
                                       kind.flag, &StopAt::Callback, progress.user());
                      out.progressCalls = progress.calls;
                      if (out.rc == RC_OK) out.delivered = test::ReadFileBytes(outFile);
                      return out;
                    }};
    counts.emplace_back(toDir.name, Sweep(toDir));
  }

  Bytes head(sources.memory);
  head.resize(QRV_HEAD_SIZE, 0);
  SweepCall block{"IsSupported, block", true, {}, "", [&](int32_t) {
                    char name[] = "archive.dat";
                    return Outcome{IsSupported(name, reinterpret_cast<uintptr_t>(head.data()))};
                  }};
  counts.emplace_back(block.name, Sweep(block));
  SweepCall handle{"IsSupported, file handle", true, {}, "", [&](int32_t) {
                     test::ProbeFile probe(sources.plain);
                     char name[] = "archive.dat";
                     Outcome out{IsSupported(name, probe.value())};
                     if (!test::FaultReached()) EXPECT_EQ(probe.Position(), 0) << "handle moved";
                     return out;
                   }};
  counts.emplace_back(handle.name, Sweep(handle));

  for (const auto& [name, count] : counts) {
    EXPECT_GT(count.points[static_cast<int>(test::Op::kRead)] +
                  count.points[static_cast<int>(test::Op::kProbeRead)],
              0)
        << name << ": no read was failed";
    if (name.rfind("GetFile ", 0) == 0) {
      EXPECT_EQ(count.points[test::kOpCount], 33) << name << ": progress stops";
    }
  }
  PrintCounts("archive extractor", counts);
}

}  // namespace
}  // namespace qrv::hardening
