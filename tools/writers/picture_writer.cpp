// The picture encoder. For each row-channel it turns samples into codes (the
// inverse of the decoder's neighbour mapping), splits the codes into runs and
// writes each run as width field, run-length prefix and suffix, and codes, most
// significant bit first, padded at the end to a whole 4-byte word.
//
// The default splitter makes zero runs of repeated samples and cuts the other
// codes where a cheaper run width pays for a new run header. The seeded
// splitter cuts at random points and widens width fields, giving streams that
// are valid but unlike the default's.
#include "picture_writer.h"

#include <algorithm>
#include <bit>
#include <random>

namespace qrv::writer {
namespace {

constexpr uint32_t kMaxDimension = 65535;
// Zero stretches shorter than this cost less inside a coded run.
constexpr uint32_t kMinZeroRun = 4;
// How far back the default splitter looks for a run's start.
constexpr uint32_t kSplitWindow = 32;

class BitWriter {
 public:
  explicit BitWriter(std::vector<uint8_t>* out) : out_(out) {}

  // Appends the low `count` bits of `value` (count 0 to 32), highest first.
  void Put(uint32_t value, int count) {
    for (int i = count - 1; i >= 0; --i) {
      pending_ = static_cast<uint8_t>(pending_ << 1 | ((value >> i) & 1));
      if (++pendingBits_ == 8) {
        out_->push_back(pending_);
        pending_ = 0;
        pendingBits_ = 0;
      }
    }
  }

  // Pads the last byte with zero bits and the stream to whole 4-byte words.
  void Finish(size_t streamStart) {
    if (pendingBits_ > 0) Put(0, 8 - pendingBits_);
    while ((out_->size() - streamStart) % 4 != 0) out_->push_back(0);
  }

 private:
  std::vector<uint8_t>* out_;
  uint8_t pending_ = 0;
  int pendingBits_ = 0;
};

// The code the decoder maps to `sample` after `previous`. Values at and above
// 128 fold onto 0..127 (v <-> 255 - v); then, around q, a value above q up to
// 2q is an odd code, one at or below q an even code, and one beyond 2q its own
// code.
uint8_t CodeFor(uint8_t previous, uint8_t sample) {
  bool mirrored = previous > 127;
  int q = mirrored ? 255 - previous : previous;
  int x = mirrored ? 255 - sample : sample;
  if (x > 2 * q) return static_cast<uint8_t>(x);
  if (x > q) return static_cast<uint8_t>(2 * (x - q) - 1);
  return static_cast<uint8_t>(2 * (q - x));
}

// The fewest bits, 2 to 8, that hold `code` (a coded run's codes are w + 1
// bits for a width field w of 1 to 7).
int CodeBits(uint8_t code) {
  int bits = 2;
  while (bits < 8 && code >= (1u << bits)) ++bits;
  return bits;
}

// A run-length prefix and suffix: k bits each, L = 2^k + v - 1.
int LengthBits(uint32_t length) { return std::bit_width(length + 1) - 1; }

struct Run {
  uint32_t length;
  int codeBits;  // 0: a zero run
};

void PutRun(BitWriter* bits, const Run& run, const uint8_t* codes) {
  int k = LengthBits(run.length);
  bits->Put(run.codeBits == 0 ? 0 : static_cast<uint32_t>(run.codeBits - 1), 3);
  bits->Put(1, k);  // k - 1 zeros and a one
  bits->Put(run.length + 1 - (uint32_t{1} << k), k);
  if (run.codeBits != 0) {
    for (uint32_t i = 0; i < run.length; ++i) bits->Put(codes[i], run.codeBits);
  }
}

uint32_t RunCost(uint32_t length, int codeBits) {
  return 3 + 2 * static_cast<uint32_t>(LengthBits(length)) + length * static_cast<uint32_t>(codeBits);
}

// Splits codes [0, count) with no long zero stretch into coded runs of least
// total size, each run at most kSplitWindow codes back from its end.
void PlanCodedRuns(const uint8_t* codes, uint32_t count, std::vector<Run>* runs) {
  std::vector<uint32_t> cost(count + 1, 0);
  std::vector<uint32_t> from(count + 1, 0);
  std::vector<int> width(count + 1, 0);
  for (uint32_t end = 1; end <= count; ++end) {
    int bits = 2;
    cost[end] = UINT32_MAX;
    uint32_t lowest = end > kSplitWindow ? end - kSplitWindow : 0;
    for (uint32_t start = end; start-- > lowest;) {
      bits = std::max(bits, CodeBits(codes[start]));
      uint32_t total = cost[start] + RunCost(end - start, bits);
      if (total < cost[end]) {
        cost[end] = total;
        from[end] = start;
        width[end] = bits;
      }
    }
  }
  std::vector<Run> reversed;
  for (uint32_t end = count; end > 0; end = from[end]) reversed.push_back({end - from[end], width[end]});
  runs->insert(runs->end(), reversed.rbegin(), reversed.rend());
}

void PlanDefault(const std::vector<uint8_t>& codes, std::vector<Run>* runs) {
  uint32_t count = static_cast<uint32_t>(codes.size());
  uint32_t codedStart = 0;
  uint32_t i = 0;
  while (i < count) {
    if (codes[i] != 0) {
      ++i;
      continue;
    }
    uint32_t zeroEnd = i;
    while (zeroEnd < count && codes[zeroEnd] == 0) ++zeroEnd;
    if (zeroEnd - i >= kMinZeroRun) {
      if (i > codedStart) PlanCodedRuns(codes.data() + codedStart, i - codedStart, runs);
      runs->push_back({zeroEnd - i, 0});
      codedStart = zeroEnd;
    }
    i = zeroEnd;
  }
  if (count > codedStart) PlanCodedRuns(codes.data() + codedStart, count - codedStart, runs);
}

void PlanRandom(const std::vector<uint8_t>& codes, std::mt19937_64* rng, std::vector<Run>* runs) {
  uint32_t count = static_cast<uint32_t>(codes.size());
  uint32_t i = 0;
  while (i < count) {
    uint32_t left = count - i;
    uint32_t length;
    switch ((*rng)() % 4) {
      case 0: length = left; break;  // long runs too, for long prefixes
      case 1: length = 1; break;
      default: length = 1 + static_cast<uint32_t>((*rng)() % std::min<uint32_t>(left, 48)); break;
    }
    bool allZero = std::all_of(codes.begin() + i, codes.begin() + i + length,
                               [](uint8_t c) { return c == 0; });
    int bits = 2;
    for (uint32_t j = i; j < i + length; ++j) bits = std::max(bits, CodeBits(codes[j]));
    // Zeros may also go as a coded run; widths may exceed what the codes need.
    if (allZero && (*rng)() % 3 != 0) {
      bits = 0;
    } else if ((*rng)() % 2 == 0) {
      bits += static_cast<int>((*rng)() % static_cast<uint64_t>(9 - bits));
    }
    runs->push_back({length, bits});
    i += length;
  }
}

}  // namespace

bool EncodePicture(uint32_t width, uint32_t height, int bitsPerPixel,
                   const std::vector<uint8_t>& samples, std::vector<uint8_t>* out,
                   std::string* error, const PictureOptions& options) {
  if (width == 0 || height == 0 || width > kMaxDimension || height > kMaxDimension) {
    *error = "width and height must be 1 to 65535";
    return false;
  }
  if (bitsPerPixel != 8 && bitsPerPixel != 24) {
    *error = "bits per pixel must be 8 or 24";
    return false;
  }
  const uint32_t channels = static_cast<uint32_t>(bitsPerPixel) / 8;
  const uint64_t needed = uint64_t{width} * height * channels;
  if (samples.size() < needed) {
    *error = "too few samples: " + std::to_string(samples.size()) + " for " +
             std::to_string(needed);
    return false;
  }
  // The size field holds at most 32 bits; the largest 24-bit pictures exceed it.
  uint32_t storedSize = options.overrideStoredSize ? options.storedSize
                                                   : static_cast<uint32_t>(needed);
  out->clear();
  for (int shift = 0; shift < 32; shift += 8) out->push_back(static_cast<uint8_t>(storedSize >> shift));
  out->insert(out->end(), {'Q', 'R', 'V'});
  out->push_back(static_cast<uint8_t>(width >> 8));
  out->push_back(static_cast<uint8_t>(width));
  out->push_back(static_cast<uint8_t>(height >> 8));
  out->push_back(static_cast<uint8_t>(height));
  out->push_back(static_cast<uint8_t>(bitsPerPixel));

  const size_t streamStart = out->size();
  BitWriter bits(out);
  std::mt19937_64 rng(options.randomSeed);
  std::vector<uint8_t> codes(width);
  std::vector<Run> runs;
  for (uint32_t y = 0; y < height; ++y) {
    const uint8_t* row = samples.data() + uint64_t{y} * width * channels;
    for (uint32_t c = 0; c < channels; ++c) {
      codes[0] = row[c];
      for (uint32_t x = 1; x < width; ++x) {
        codes[x] = CodeFor(row[(x - 1) * channels + c], row[x * channels + c]);
      }
      runs.clear();
      if (options.randomSeed == 0) {
        PlanDefault(codes, &runs);
      } else {
        PlanRandom(codes, &rng, &runs);
      }
      const uint8_t* at = codes.data();
      for (const Run& run : runs) {
        PutRun(&bits, run, at);
        at += run.length;
      }
    }
  }
  bits.Finish(streamStart);
  return true;
}

}  // namespace qrv::writer
