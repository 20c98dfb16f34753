// Writer -> GetPicture over thousands of seeded random pictures, and the
// exports against the reference decoder on valid and damaged streams, each
// through every row kernel this build holds and this processor runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "channel.h"
#include "fault_platform.h"
#include "image_exports.h"
#include "picture.h"
#include "picture_samples.h"
#include "picture_writer.h"
#include "reference_decoder.h"
#include "test_files.h"

namespace qrv::test {
namespace {

// GetPicture with the row kernel given, as a pointer of the export's type.
template <RowKernel kKernel>
int32_t QRV_CALL GetPictureBy(char* src, int32_t len, uint32_t flag, QrvBlock* info_out,
                              QrvBlock* bits_out, ProgressCallback progress, QrvUser user) {
  return GetPictureWith(kKernel, src, len, flag, info_out, bits_out, progress, user);
}

std::vector<RowKernel> RunnableKernels() {
  std::vector<RowKernel> kernels;
  for (RowKernel kernel : {RowKernel::kScalar, RowKernel::kVector}) {
    if (KernelRuns(kernel)) kernels.push_back(kernel);
  }
  return kernels;
}

class KernelSuite : public testing::TestWithParam<RowKernel> {
 protected:
  static GetPictureFn Export() {
    return GetParam() == RowKernel::kVector ? GetPictureBy<RowKernel::kVector>
                                            : GetPictureBy<RowKernel::kScalar>;
  }
  static Decoded Decode(const Bytes& file, int abortAt = -1) {
    return DecodeWith(Export(), FreeHostBlock, file, abortAt);
  }
};

std::string KernelName(const testing::TestParamInfo<RowKernel>& info) {
  return info.param == RowKernel::kVector ? "Vector" : "Scalar";
}

class RoundTrip : public KernelSuite {};
class Differential : public KernelSuite {};
INSTANTIATE_TEST_SUITE_P(Kernels, RoundTrip, testing::ValuesIn(RunnableKernels()), KernelName);
INSTANTIATE_TEST_SUITE_P(Kernels, Differential, testing::ValuesIn(RunnableKernels()), KernelName);

TEST_P(RoundTrip, SeededRandomPictures) {
  ResetFaults();
  std::mt19937_64 rng(20261208);
  int decoded = 0;
  for (int i = 0; i < 3000; ++i) {
    // Mostly narrow and short; now and then wide.
    uint32_t maxWidth = i % 10 == 0 ? 700 : 120;
    Sampled p = RandomPicture(rng, maxWidth, i % 10 == 0 ? 4 : 12);
    uint64_t seed = i % 2 == 0 ? 0 : rng() | 1;
    Bytes file = Encode(p, seed);
    Decoded d = Decode(file);
    ASSERT_EQ(d.rc, RC_OK) << "picture " << i << ": " << p.width << "x" << p.height << "x"
                           << p.bits << " seed " << seed;
    ASSERT_EQ(d.pixels, ExpectedPixels(p)) << "picture " << i << ": " << p.width << "x"
                                           << p.height << "x" << p.bits << " seed " << seed;
    ASSERT_EQ(d.progress.size(), p.height + 1u);
    ++decoded;
  }
  EXPECT_EQ(decoded, 3000);
  EXPECT_EQ(LiveBlocks(), 0) << LiveSummary();
}

TEST_P(RoundTrip, WidestRowsAndLongRuns) {
  ResetFaults();
  std::mt19937_64 rng(3);
  for (int bits : {8, 24}) {
    for (Content content : {Content::kFlat, Content::kGradient, Content::kNoisy}) {
      Sampled p{65535, 2, bits, MakeSamples(rng, 65535, 2, bits / 8, content)};
      for (uint64_t seed : {0u, 77u}) {
        Decoded d = Decode(Encode(p, seed));
        ASSERT_EQ(d.rc, RC_OK) << bits << " bits, content " << static_cast<int>(content);
        ASSERT_EQ(d.pixels, ExpectedPixels(p));
      }
    }
  }
}

TEST(PictureWriter, RefusesWhatTheFormatCannotHold) {
  Bytes out;
  std::string error;
  EXPECT_FALSE(writer::EncodePicture(0, 1, 8, Bytes(1), &out, &error));
  EXPECT_FALSE(writer::EncodePicture(1, 65536, 8, Bytes(65536), &out, &error));
  EXPECT_FALSE(writer::EncodePicture(1, 1, 16, Bytes(2), &out, &error));
  EXPECT_FALSE(writer::EncodePicture(2, 2, 24, Bytes(11), &out, &error));
  EXPECT_FALSE(error.empty());
  // Pinned by hand: the 16-byte one-pixel picture of the filter's worked example.
  ASSERT_TRUE(writer::EncodePicture(1, 1, 8, Bytes{0x80}, &out, &error));
  EXPECT_EQ(out, (Bytes{0x01, 0, 0, 0, 'Q', 'R', 'V', 0, 1, 0, 1, 8, 0xf4, 0, 0, 0}));
  // A run of six 200s: one 8-bit code, then a zero run of five.
  ASSERT_TRUE(writer::EncodePicture(6, 1, 8, Bytes(6, 200), &out, &error));
  EXPECT_EQ(Bytes(out.begin() + 12, out.end()), (Bytes{0xf6, 0x40, 0x60, 0x00}));
  writer::PictureOptions options;
  options.overrideStoredSize = true;
  options.storedSize = 0xdeadbeef;
  ASSERT_TRUE(writer::EncodePicture(1, 1, 8, Bytes{0x80}, &out, &error, options));
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 4), (Bytes{0xef, 0xbe, 0xad, 0xde}));
}

// Same result code, and on success the same blocks, as the reference.
void ExpectSameAsReference(GetPictureFn getPicture, const Bytes& file, const std::string& what) {
  ReferencePicture want = DecodeReference(file);
  Decoded got = DecodeWith(getPicture, FreeHostBlock, file);
  ASSERT_EQ(got.rc, want.rc) << what;
  if (want.rc == RC_OK) {
    ASSERT_EQ(got.pixels, want.pixels) << what;
    ASSERT_EQ(got.info, want.info) << what;
  }
  ASSERT_EQ(got.progress, want.progress) << what;
  ASSERT_EQ(LiveBlocks(), 0) << what << ": " << LiveSummary();
}

TEST_P(Differential, ValidStreamsAgreeWithTheReference) {
  ResetFaults();
  std::mt19937_64 rng(99);
  for (int i = 0; i < 400; ++i) {
    Sampled p = RandomPicture(rng, 150, 8);
    Bytes file = Encode(p, i % 2 == 0 ? 0 : rng() | 1);
    ExpectSameAsReference(Export(), file, "picture " + std::to_string(i));
  }
}

TEST_P(Differential, DamagedStreamsAgreeWithTheReference) {
  ResetFaults();
  std::mt19937_64 rng(1234);
  int counts[3] = {};  // RC_OK, RC_UNKNOWN_FORMAT, RC_READ_ERROR
  for (int i = 0; i < 2000; ++i) {
    Sampled p = RandomPicture(rng, 90, 6);
    Bytes file = Encode(p, i % 2 == 0 ? 0 : rng() | 1);
    switch (i % 4) {
      case 0:  // flip a few bytes of the sample stream
      case 1:
        for (int flips = 1 + static_cast<int>(rng() % 3); flips > 0; --flips) {
          file[12 + rng() % (file.size() - 12)] ^= static_cast<uint8_t>(1 + rng() % 255);
        }
        break;
      case 2:  // cut anywhere
        file.resize(rng() % file.size());
        break;
      default:  // random bits after a valid header
        for (size_t at = 12; at < file.size(); ++at) file[at] = static_cast<uint8_t>(rng());
        break;
    }
    ExpectSameAsReference(Export(), file, "damaged picture " + std::to_string(i));
    int32_t rc = DecodeReference(file).rc;
    counts[rc == RC_OK ? 0 : rc == RC_UNKNOWN_FORMAT ? 1 : 2]++;
  }
  // Every outcome is exercised.
  EXPECT_GT(counts[0], 50);
  EXPECT_GT(counts[1], 200);
  EXPECT_GT(counts[2], 200);
}

// Rows of mixed kinds within one picture: flat rows (all channels in zero
// runs), rows flat in one channel only, rows half flat and half noisy, and
// noisy rows, so that rows decoded together are of different kinds.
Bytes MixedRows(std::mt19937_64& rng, uint32_t width, uint32_t height, int channels) {
  Bytes samples(size_t{width} * height * channels);
  for (uint32_t y = 0; y < height; ++y) {
    uint8_t* row = samples.data() + size_t{y} * width * channels;
    const int kind = static_cast<int>(rng() % 4);
    const uint8_t base = static_cast<uint8_t>(rng());
    for (uint32_t x = 0; x < width; ++x) {
      for (int c = 0; c < channels; ++c) {
        bool flat = kind == 0 || (kind == 1 && c == 1) || (kind == 2 && x < width / 2);
        row[x * channels + c] = flat ? static_cast<uint8_t>(base + c * 40)
                                     : static_cast<uint8_t>(base + rng() % 7);
      }
    }
  }
  return samples;
}

TEST_P(Differential, EveryHeightAndAbortAgreeWithTheReference) {
  ResetFaults();
  std::mt19937_64 rng(4242);
  for (int bits : {8, 24}) {
    for (uint32_t height = 1; height <= 9; ++height) {
      for (uint32_t width : {1u, 7u, 8u, 9u, 33u, 250u}) {
        Sampled p{width, height, bits, MixedRows(rng, width, height, bits / 8)};
        Bytes file = Encode(p, height % 2 == 0 ? 0 : rng() | 1);
        std::string what = std::to_string(width) + "x" + std::to_string(height) + "x" +
                           std::to_string(bits);
        ExpectSameAsReference(Export(), file, what);
        ASSERT_EQ(Decode(file).pixels, ExpectedPixels(p)) << what;
        // A stop asked for at any progress call, the last one included.
        for (uint32_t abortAt = 0; abortAt <= height; ++abortAt) {
          Decoded d = Decode(file, static_cast<int>(abortAt));
          ASSERT_EQ(d.rc, RC_ABORTED) << what << " abort at " << abortAt;
          ASSERT_EQ(d.progress.size(), abortAt + 1) << what << " abort at " << abortAt;
          ASSERT_EQ(d.progress.back(), std::make_pair(static_cast<int32_t>(abortAt),
                                                      static_cast<int32_t>(height)));
          ASSERT_EQ(LiveBlocks(), 0) << what << ": " << LiveSummary();
        }
        // Cut at every byte of the last two rows' share of the stream.
        for (size_t cut = file.size() - std::min<size_t>(file.size() - 12, 40); cut < file.size();
             ++cut) {
          ExpectSameAsReference(Export(), Bytes(file.begin(), file.begin() + cut),
                                what + " cut at " + std::to_string(cut));
        }
      }
    }
  }
}

// A picture whose pixels, taken row after row as one sequence, are noisy except
// for the spans given as [begin, end) pixel indices, where the channels in
// `flatMask` (bit c for channel c) repeat one value. Spans may cross row ends.
// The noise's amplitude changes every few pixels, so that the runs around a
// span are short and of every code width.
Sampled FlatSpans(std::mt19937_64& rng, uint32_t width, uint32_t height, int bits,
                  int flatMask, const std::vector<std::pair<uint32_t, uint32_t>>& spans) {
  const int channels = bits / 8;
  Sampled p{width, height, bits, Bytes(size_t{width} * height * channels)};
  uint32_t amplitude = 1;
  for (uint32_t i = 0; i < width * height; ++i) {
    if (rng() % 3 == 0) amplitude = 1u << (rng() % 8);
    for (int c = 0; c < channels; ++c) {
      p.samples[size_t{i} * channels + c] = static_cast<uint8_t>(rng() % (amplitude + 1));
    }
  }
  for (const auto& [begin, end] : spans) {
    const auto value = static_cast<uint8_t>(rng());
    for (uint32_t i = begin; i < end && i < width * height; ++i) {
      for (int c = 0; c < channels; ++c) {
        if ((flatMask >> c & 1) != 0) p.samples[size_t{i} * channels + c] = value + c;
      }
    }
  }
  return p;
}

// Same as the reference and the samples, whole and cut at one random byte.
void ExpectFlatPictureDecodes(GetPictureFn getPicture, std::mt19937_64& rng, const Sampled& p,
                              uint64_t seed, const std::string& what) {
  Bytes file = Encode(p, seed);
  ExpectSameAsReference(getPicture, file, what);
  ASSERT_EQ(DecodeWith(getPicture, FreeHostBlock, file).pixels, ExpectedPixels(p)) << what;
  const size_t cut = 12 + rng() % (file.size() - 12);
  ExpectSameAsReference(getPicture, Bytes(file.begin(), file.begin() + cut),
                        what + " cut at " + std::to_string(cut));
}

// The flat-area paths (four-code stores, zero runs left to the zeroed block,
// pixel groups filled in one go): flat spans starting at every offset 0 to 33
// and ending at every offset after it, up to 40 pixels long, so that both ends
// fall at every position of a 4-code store, an 8-pixel group and a 64-bit word,
// in every combination of flat channels.
TEST_P(Differential, FlatSpansOfEveryStartAndLength) {
  ResetFaults();
  std::mt19937_64 rng(5150);
  constexpr uint32_t kWidth = 80;
  for (int bits : {8, 24}) {
    const std::vector<int> masks = bits == 8 ? std::vector<int>{1}
                                             : std::vector<int>{7, 1, 2, 4, 3, 6};
    for (int mask : masks) {
      for (uint32_t start = 0; start <= 33; ++start) {
        // Row r holds a span of length r at `start`.
        std::vector<std::pair<uint32_t, uint32_t>> spans;
        for (uint32_t r = 0; r <= 40; ++r) spans.push_back({r * kWidth + start, r * kWidth + start + r});
        Sampled p = FlatSpans(rng, kWidth, 41, bits, mask, spans);
        ExpectFlatPictureDecodes(Export(), rng, p, start % 2 == 0 ? 0 : rng() | 1,
                                 std::to_string(bits) + " bits, channels " +
                                     std::to_string(mask) + ", start " + std::to_string(start));
      }
    }
  }
  EXPECT_EQ(LiveBlocks(), 0) << LiveSummary();
}

// Flat areas that reach a row's end and go on at the start of the next rows,
// ending at every offset there; whole flat rows; a flat picture with one noisy
// pixel at every position of the row; and rows of tiny flat spans (1 to 5
// pixels) between single noisy pixels, near the row's end too.
TEST_P(Differential, FlatAreasAcrossRowEnds) {
  ResetFaults();
  std::mt19937_64 rng(8086);
  for (int bits : {8, 24}) {
    for (int mask : bits == 8 ? std::vector<int>{1} : std::vector<int>{7, 2, 5}) {
      for (uint32_t width : {7u, 8u, 9u, 31u, 64u, 67u}) {
        const std::string what = std::to_string(bits) + " bits, channels " +
                                 std::to_string(mask) + ", width " + std::to_string(width);
        // From every offset of row 1 to every offset of row 2 or 3.
        for (uint32_t begin = width; begin < 2 * width; ++begin) {
          std::vector<std::pair<uint32_t, uint32_t>> spans = {
              {begin, 2 * width + (begin * 7) % width}, {begin + width, 3 * width + begin % 5}};
          Sampled p = FlatSpans(rng, width, 5, bits, mask, spans);
          ExpectFlatPictureDecodes(Export(), rng, p, begin % 3 == 0 ? rng() | 1 : 0,
                                   what + ", span from " + std::to_string(begin));
        }
        // All flat but one pixel, at every position of the middle row.
        for (uint32_t x = 0; x < width; ++x) {
          Sampled p = FlatSpans(rng, width, 3, bits, mask, {{0, width + x}, {width + x + 1, 3 * width}});
          ExpectFlatPictureDecodes(Export(), rng, p, 0,
                                   what + ", one pixel at " + std::to_string(x));
        }
        // Tiny spans and single noisy pixels all along.
        std::vector<std::pair<uint32_t, uint32_t>> tiny;
        for (uint32_t i = 0; i < 6 * width;) {
          const uint32_t length = 1 + static_cast<uint32_t>(rng() % 5);
          tiny.push_back({i, i + length});
          i += length + 1 + static_cast<uint32_t>(rng() % 2);
        }
        ExpectFlatPictureDecodes(Export(), rng, FlatSpans(rng, width, 6, bits, mask, tiny),
                                 rng() | 1, what + ", tiny spans");
        ExpectFlatPictureDecodes(Export(), rng, FlatSpans(rng, width, 6, bits, mask, tiny), 0,
                                 what + ", tiny spans");
      }
    }
  }
  EXPECT_EQ(LiveBlocks(), 0) << LiveSummary();
}

// 24-bit rows of every width from 4 to 48 codes, split into runs of random
// lengths and widths, with flat spans of every length ending at row ends and
// many rows still to come: a row-channel's last runs, and the stores of a run
// that reach past its end, are then taken with plenty of stream ahead.
TEST_P(Differential, RunsOfEveryLengthEndingAtRowEnds) {
  ResetFaults();
  std::mt19937_64 rng(2718);
  for (uint32_t width = 4; width <= 48; ++width) {
    std::vector<std::pair<uint32_t, uint32_t>> spans;
    for (uint32_t r = 0; r < 24; ++r) {
      spans.push_back({(r + 1) * width - std::min(r, width), (r + 1) * width});
    }
    const Sampled p = FlatSpans(rng, width, 24, 24, width % 2 == 0 ? 7 : 5, spans);
    for (int seeds = 0; seeds < 4; ++seeds) {
      ExpectFlatPictureDecodes(Export(), rng, p, rng() | 1, "width " + std::to_string(width));
    }
  }
  EXPECT_EQ(LiveBlocks(), 0) << LiveSummary();
}

// 8-bit pictures of every height up to past two groups of rows mapped
// together, at widths around the 16-byte blocks of that mapping and the
// 8-code steps of the code reader, with codes of every width and flat spans.
TEST_P(Differential, GreyRowGroupsOfEveryHeightAndWidth) {
  ResetFaults();
  std::mt19937_64 rng(816);
  for (uint32_t height = 1; height <= 2 * kMaxMappedRows8 + 3; ++height) {
    for (uint32_t width : {1u, 2u, 7u, 9u, 15u, 16u, 17u, 23u, 24u, 31u, 33u, 48u, 65u, 130u}) {
      std::vector<std::pair<uint32_t, uint32_t>> spans;
      for (uint32_t i = 0; i < width * height; i += 1 + static_cast<uint32_t>(rng() % 40)) {
        const uint32_t length = static_cast<uint32_t>(rng() % 30);
        spans.push_back({i, i + length});
        i += length;
      }
      Sampled p = FlatSpans(rng, width, height, 8, 1, spans);
      ExpectFlatPictureDecodes(Export(), rng, p, height % 2 == 0 ? 0 : rng() | 1,
                               std::to_string(width) + "x" + std::to_string(height));
    }
  }
  EXPECT_EQ(LiveBlocks(), 0) << LiveSummary();
}

// Pictures whose streams span several read windows of a file source, from a
// file at an odd offset, so that windows end in every part of a row; whole,
// and cut in a later window, against the reference.
TEST_P(Differential, FileSourcesAcrossReadWindows) {
  ResetFaults();
  std::mt19937_64 rng(6502);
  const std::string path = ScratchPath("windows.qrv");
  for (int bits : {8, 24}) {
    const uint32_t width = bits == 8 ? 3001 : 1001;
    std::vector<std::pair<uint32_t, uint32_t>> spans;
    for (uint32_t i = 0; i < width * 160; i += 1 + static_cast<uint32_t>(rng() % 300)) {
      const uint32_t length = static_cast<uint32_t>(rng() % 200);
      spans.push_back({i, i + length});
      i += length;
    }
    const Sampled p = FlatSpans(rng, width, 160, bits, bits == 8 ? 1 : 7, spans);
    const Bytes file = Encode(p, rng() | 1);
    ASSERT_GT(file.size(), 3u * 65536) << "the stream should span several windows";
    const size_t laterWindow = 2 * 65536 + 12 + static_cast<size_t>(rng() % 65536);
    for (size_t cut : {file.size(), file.size() - 1, laterWindow}) {
      const Bytes part(file.begin(), file.begin() + static_cast<ptrdiff_t>(cut));
      WriteFileBytes(path, AfterFiller(37, 0xa5, part));
      const ReferencePicture want = DecodeReference(part);
      QrvBlock info = nullptr;
      QrvBlock pixels = nullptr;
      const int32_t rc = Export()(const_cast<char*>(path.c_str()), 37, 0, &info, &pixels,
                                  nullptr, 0);
      ASSERT_EQ(rc, want.rc) << bits << " bits, cut at " << cut;
      if (rc == RC_OK) {
        const auto* block = static_cast<const uint8_t*>(platform::LockBlock(pixels));
        EXPECT_TRUE(Bytes(block, block + want.pixels.size()) == want.pixels) << bits << " bits";
        platform::UnlockBlock(pixels);
        EXPECT_TRUE(FreeHostBlock(info));
        EXPECT_TRUE(FreeHostBlock(pixels));
      }
    }
  }
  EXPECT_EQ(LiveBlocks(), 0) << LiveSummary();
  EXPECT_EQ(OpenStreams(), 0) << LiveSummary();
}

// Streams cut at every byte, all through rows of every kind: 24-bit rows
// with codes all along (read as planes by the vector kernel) and flat ones
// around them, and 8-bit rows, against the reference.
TEST_P(Differential, CutAtEveryByteOfEveryRow) {
  ResetFaults();
  std::mt19937_64 rng(1986);
  for (int bits : {8, 24}) {
    const uint32_t width = 37;
    const uint32_t height = bits == 8 ? 19 : 9;
    std::vector<std::pair<uint32_t, uint32_t>> spans = {{width * 4, width * 6 + 5}};
    const Sampled p = FlatSpans(rng, width, height, bits, bits == 8 ? 1 : 7, spans);
    const Bytes file = Encode(p, rng() | 1);
    for (size_t cut = 12; cut < file.size(); ++cut) {
      const Bytes part(file.begin(), file.begin() + static_cast<ptrdiff_t>(cut));
      ExpectSameAsReference(Export(), part,
                            std::to_string(bits) + " bits, cut at " + std::to_string(cut));
    }
  }
}

}  // namespace
}  // namespace qrv::test
