// The reference decoder: see reference_decoder.h.
#include "reference_decoder.h"

#include <cstddef>

#include "qrvnel.h"

namespace qrv::test {
namespace {

struct Source {
  const std::vector<uint8_t>* bytes;
  std::size_t position = 0;

  // Up to `count` bytes, like a stream read: the count read.
  std::size_t Read(uint8_t* out, std::size_t count) {
    std::size_t n = 0;
    while (n < count && position < bytes->size()) out[n++] = (*bytes)[position++];
    return n;
  }
};

struct Reader {
  Source* source;
  uint32_t bits = 0;
  int held = 0;
};

uint32_t Mask(int k) { return k == 0 ? 0 : (0xffffffffu >> (32 - k)); }

int GetBits(Reader& r, int n, uint32_t* value) {
  if (n <= r.held) {
    *value = r.bits >> (r.held - n);
    r.held -= n;
    r.bits &= Mask(r.held);
    return RC_OK;
  }
  int need = n - r.held;
  uint8_t b[4] = {0, 0, 0, 0};
  std::size_t got = r.source->Read(b, 4);
  if (got == 0) return RC_READ_ERROR;
  uint32_t word = uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | b[3];
  // A short last word: exactly its bytes' bits count.
  int valid = static_cast<int>(got) * 8;
  if (need > valid) return RC_READ_ERROR;
  *value = static_cast<uint32_t>((uint64_t{r.bits} << need) | (word >> (32 - need)));
  r.held = valid - need;
  r.bits = (word >> (32 - valid)) & Mask(r.held);
  return RC_OK;
}

int DecodeChannel(Reader& r, uint8_t* first, int step, int count) {
  int remaining = count;
  uint8_t* out = first;
  while (remaining > 0) {
    uint32_t w;
    int rc = GetBits(r, 3, &w);
    if (rc != RC_OK) return rc;
    int k = 0;
    uint32_t bit = 0;
    while (bit == 0) {
      if (k == 16) return RC_UNKNOWN_FORMAT;  // a prefix of more than 16 bits
      ++k;
      rc = GetBits(r, 1, &bit);
      if (rc != RC_OK) return rc;
    }
    uint32_t v;
    rc = GetBits(r, k, &v);
    if (rc != RC_OK) return rc;
    int64_t length = (int64_t{1} << k) + v - 1;
    if (length > remaining) return RC_UNKNOWN_FORMAT;  // a run past the row-channel
    remaining -= static_cast<int>(length);
    for (int64_t i = 0; i < length; ++i) {
      uint32_t code = 0;
      if (w != 0) {
        rc = GetBits(r, static_cast<int>(w) + 1, &code);
        if (rc != RC_OK) return rc;
      }
      *out = static_cast<uint8_t>(code);
      out += step;
    }
  }
  for (int i = 1; i < count; ++i) first[i * step] = ReferenceMap(first[(i - 1) * step], first[i * step]);
  return RC_OK;
}

void PutLe32(std::vector<uint8_t>& out, std::size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

uint8_t ReferenceMap(uint8_t previous, uint8_t code) {
  int p = previous;
  int c = code;
  int q = p <= 127 ? p : 255 - p;
  int x;
  if (c <= 2 * q) {
    x = (c % 2 == 1) ? q + (c + 1) / 2 : q - c / 2;
  } else {
    x = c;
  }
  return static_cast<uint8_t>(p <= 127 ? x : 255 - x);
}

ReferencePicture DecodeReference(const std::vector<uint8_t>& file, int abortAt) {
  ReferencePicture out;
  Source source{&file};
  uint8_t size[4], sig[3], width[2], height[2], depth;
  if (source.Read(size, 4) != 4 || source.Read(sig, 3) != 3 || source.Read(width, 2) != 2 ||
      source.Read(height, 2) != 2 || source.Read(&depth, 1) != 1) {
    out.rc = RC_READ_ERROR;
    return out;
  }
  uint32_t stored = uint32_t{size[0]} | uint32_t{size[1]} << 8 | uint32_t{size[2]} << 16 |
                    uint32_t{size[3]} << 24;
  uint32_t w = uint32_t{width[0]} << 8 | width[1];
  uint32_t h = uint32_t{height[0]} << 8 | height[1];
  if (sig[0] != 'Q' || sig[1] != 'R' || sig[2] != 'V' || (depth != 8 && depth != 24) || w == 0 ||
      h == 0 || stored > uint64_t{w} * h * (depth / 8)) {
    out.rc = RC_UNKNOWN_FORMAT;
    return out;
  }
  uint32_t bpp = depth / 8u;
  uint32_t stride = w * bpp;
  if (stride % 4 != 0) stride += 4 - stride % 4;
  if (uint64_t{stride} * h >= (uint64_t{1} << 32)) {
    out.rc = RC_NO_MEMORY;
    return out;
  }
  out.info.assign(40 + (bpp == 1 ? 1024 : 0), 0);
  PutLe32(out.info, 0, 40);
  PutLe32(out.info, 4, w);
  PutLe32(out.info, 8, h);
  out.info[12] = 1;
  out.info[14] = depth;
  PutLe32(out.info, 20, stride * h);
  if (bpp == 1) {
    for (int i = 0; i < 256; ++i) {
      out.info[40 + 4 * i] = out.info[41 + 4 * i] = out.info[42 + 4 * i] = static_cast<uint8_t>(i);
    }
  }
  out.pixels.assign(std::size_t{stride} * h, 0);
  Reader reader{&source};
  int calls = 0;
  auto progress = [&](int32_t n, int32_t d) {
    out.progress.emplace_back(n, d);
    return calls++ == abortAt;
  };
  int rc = RC_OK;
  for (uint32_t r = 0; rc == RC_OK && r < h; ++r) {
    if (progress(static_cast<int32_t>(r), static_cast<int32_t>(h))) {
      rc = RC_ABORTED;
      break;
    }
    uint8_t* row = out.pixels.data() + std::size_t{h - 1 - r} * stride;
    for (uint32_t c = 0; rc == RC_OK && c < bpp; ++c) {
      rc = DecodeChannel(reader, row + c, static_cast<int>(bpp), static_cast<int>(w));
    }
  }
  if (rc == RC_OK && progress(static_cast<int32_t>(h), static_cast<int32_t>(h))) rc = RC_ABORTED;
  out.rc = rc;
  if (rc != RC_OK) {
    out.info.clear();
    out.pixels.clear();
  }
  return out;
}

}  // namespace qrv::test
