// The fault sweep over every export of the image filter and every input kind:
// detection from a block and from a file handle, information and decoding
// from memory, from a file and from a file at an offset, at both depths.
#include <gtest/gtest.h>

#include <cstring>

#include "picture_writer.h"
#include "sweep.h"
#include "test_files.h"

namespace qrv::hardening {
namespace {

using test::Bytes;

Bytes MakePicture(uint32_t width, uint32_t height, int bits) {
  Bytes samples(static_cast<size_t>(width) * height * static_cast<uint32_t>(bits / 8));
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<uint8_t>(i * 29 + (i / 7) * 3);
  Bytes file;
  std::string error;
  EXPECT_TRUE(writer::EncodePicture(width, height, bits, samples, &file, &error)) << error;
  return file;
}

// A picture in every input kind a source can take.
struct Sources {
  explicit Sources(const std::string& name, const Bytes& picture) : memory(picture) {
    plain = test::ScratchPath(name);
    shifted = test::ScratchPath(name + ".shifted");
    test::WriteFileBytes(plain, picture);
    Bytes withFiller(kOffset, 0xee);
    withFiller.insert(withFiller.end(), picture.begin(), picture.end());
    test::WriteFileBytes(shifted, withFiller);
  }
  static constexpr int32_t kOffset = 100;
  Bytes memory;
  std::string plain;
  std::string shifted;
};

struct Kind {
  const char* label;
  uint32_t flag;
  std::function<char*(Sources&)> src;
  std::function<int32_t(Sources&)> len;
  std::set<int32_t> onOpen;
};

const std::vector<Kind>& Kinds() {
  static const std::vector<Kind> kinds = {
      {"memory", QRV_INPUT_MEMORY, [](Sources& s) { return reinterpret_cast<char*>(s.memory.data()); },
       [](Sources& s) { return static_cast<int32_t>(s.memory.size()); }, {RC_MEMORY_ERROR}},
      {"file", QRV_INPUT_FILE, [](Sources& s) { return s.plain.data(); }, [](Sources&) { return 0; },
       {RC_READ_ERROR}},
      {"file at an offset", QRV_INPUT_FILE, [](Sources& s) { return s.shifted.data(); },
       [](Sources&) { return Sources::kOffset; }, {RC_READ_ERROR}},
  };
  return kinds;
}

Bytes BlockBytes(QrvBlock block, size_t size) { return test::HostBlockBytes(block, size); }

TEST(ImageFaultSweep, EveryExportEveryInputKind) {
  std::vector<std::pair<std::string, SweepCount>> counts;
  struct Shape {
    const char* label;
    uint32_t width, height;
    int bits;
  };
  for (const Shape& shape : {Shape{"8-bit 5x3", 5, 3, 8}, Shape{"24-bit 7x4", 7, 4, 24}}) {
    Sources sources(std::string("picture-") + std::to_string(shape.bits), MakePicture(shape.width, shape.height, shape.bits));
    const uint32_t stride = (shape.width * static_cast<uint32_t>(shape.bits / 8) + 3u) & ~3u;
    const size_t headerBytes = shape.bits == 8 ? 40 + 1024 : 40;

    for (const Kind& kind : Kinds()) {
      const std::string suffix = std::string(", ") + shape.label + ", " + kind.label;
      SweepCall info{"GetPictureInfo" + suffix, false, kind.onOpen, "", [&](int32_t) {
                       PictureInfo record;
                       std::memset(&record, 0x11, sizeof record);
                       Outcome out;
                       out.rc = GetPictureInfo(kind.src(sources), kind.len(sources), kind.flag, &record);
                       out.delivered.assign(reinterpret_cast<uint8_t*>(&record),
                                            reinterpret_cast<uint8_t*>(&record) + sizeof record);
                       return out;
                     }};
      counts.emplace_back(info.name, Sweep(info));

      SweepCall picture{"GetPicture" + suffix, false, kind.onOpen, "", [&](int32_t stopAt) {
                          StopAt progress{stopAt};
                          QrvBlock header = nullptr;
                          QrvBlock pixels = nullptr;
                          Outcome out;
                          out.rc = GetPicture(kind.src(sources), kind.len(sources), kind.flag, &header,
                                              &pixels, &StopAt::Callback, progress.user());
                          out.progressCalls = progress.calls;
                          if (out.rc == RC_OK) {
                            out.handedOver = {header, pixels};
                            out.delivered = BlockBytes(header, headerBytes);
                            Bytes bits = BlockBytes(pixels, size_t{stride} * shape.height);
                            out.delivered.insert(out.delivered.end(), bits.begin(), bits.end());
                          }
                          return out;
                        }};
      counts.emplace_back(picture.name, Sweep(picture));
    }

    // Detection: the head as a block and read from a file handle.
    Bytes head(sources.memory);
    head.resize(QRV_HEAD_SIZE, 0);
    SweepCall block{std::string("IsSupported, ") + shape.label + ", block", true, {}, "", [&](int32_t) {
                      char name[] = "picture";
                      return Outcome{IsSupported(name, reinterpret_cast<uintptr_t>(head.data()))};
                    }};
    counts.emplace_back(block.name, Sweep(block));
    SweepCall handle{std::string("IsSupported, ") + shape.label + ", file handle", true, {}, "", [&](int32_t) {
                       test::ProbeFile probe(sources.plain);
                       char name[] = "picture";
                       Outcome out{IsSupported(name, probe.value())};
                       // The host finds its handle where it stood, unless moving it
                       // back was what failed.
                       if (!test::FaultReached()) EXPECT_EQ(probe.Position(), 0) << "handle moved";
                       return out;
                     }};
    counts.emplace_back(handle.name, Sweep(handle));
  }

  // GetPreview is not offered: it answers at once and touches no platform call.
  SweepCall preview{"GetPreview", false, {}, "", [&](int32_t) {
                      QrvBlock a = nullptr;
                      QrvBlock b = nullptr;
                      return Outcome{GetPreview(nullptr, 0, 0, &a, &b, nullptr, 0) == RC_NOT_IMPLEMENTED
                                         ? RC_OK
                                         : RC_INTERNAL_ERROR};
                    }};
  counts.emplace_back(preview.name, Sweep(preview));

  for (const auto& [name, count] : counts) {
    // Every call but GetPreview opens, reads and closes: a sweep of a call
    // that injects nothing has not exercised it.
    if (name != "GetPreview") {
      EXPECT_GT(count.points[static_cast<int>(test::Op::kOpen)] +
                    count.points[static_cast<int>(test::Op::kBuffer)],
                0)
          << name;
      EXPECT_GT(count.points[static_cast<int>(test::Op::kRead)] +
                    count.points[static_cast<int>(test::Op::kProbeRead)],
                0)
          << name;
    } else {
      EXPECT_EQ(count.total(), 0) << "GetPreview reached a platform call";
    }
  }
  PrintCounts("image filter", counts);
}

}  // namespace
}  // namespace qrv::hardening
