// Test pictures and the GetPicture helper: see picture_samples.h.
#include "picture_samples.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "picture_writer.h"

namespace qrv::test {

Bytes MakeSamples(std::mt19937_64& rng, uint32_t width, uint32_t height, int channels,
                  Content content) {
  Bytes samples(size_t{width} * height * channels);
  std::uniform_int_distribution<int> byte(0, 255);
  int base[3] = {byte(rng), byte(rng), byte(rng)};
  int slope = static_cast<int>(rng() % 7) - 3;
  int noise = static_cast<int>(rng() % 12);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      for (int c = 0; c < channels; ++c) {
        int v;
        switch (content) {
          case Content::kFlat: v = base[c]; break;
          case Content::kNoisy: v = byte(rng); break;
          case Content::kGradient:
            v = base[c] + slope * static_cast<int>(x) + static_cast<int>(y) +
                (noise > 0 ? static_cast<int>(rng() % noise) : 0);
            break;
          default:  // patches of flat, gradient and noise
            v = ((x / 7 + y / 5) % 3 == 0) ? byte(rng) : base[c] + static_cast<int>(x / 3);
            break;
        }
        samples[(size_t{y} * width + x) * channels + c] = static_cast<uint8_t>(v & 0xff);
      }
    }
  }
  return samples;
}

Sampled RandomPicture(std::mt19937_64& rng, uint32_t maxWidth, uint32_t maxHeight) {
  Sampled p;
  p.width = 1 + static_cast<uint32_t>(rng() % maxWidth);
  p.height = 1 + static_cast<uint32_t>(rng() % maxHeight);
  p.bits = rng() % 2 == 0 ? 8 : 24;
  p.samples = MakeSamples(rng, p.width, p.height, p.bits / 8, static_cast<Content>(rng() % 4));
  return p;
}

Bytes Encode(const Sampled& picture, uint64_t seed) {
  Bytes file;
  std::string error;
  writer::PictureOptions options;
  options.randomSeed = seed;
  EXPECT_TRUE(writer::EncodePicture(picture.width, picture.height, picture.bits, picture.samples,
                                    &file, &error, options))
      << error;
  return file;
}

Bytes ExpectedPixels(const Sampled& picture) {
  uint32_t bpp = picture.bits / 8u;
  uint32_t stride = (picture.width * bpp + 3) & ~3u;
  Bytes pixels(size_t{stride} * picture.height, 0);
  for (uint32_t y = 0; y < picture.height; ++y) {
    std::memcpy(pixels.data() + size_t{picture.height - 1 - y} * stride,
                picture.samples.data() + size_t{y} * picture.width * bpp,
                size_t{picture.width} * bpp);
  }
  return pixels;
}

Bytes AfterFiller(size_t count, uint8_t filler, const Bytes& data) {
  Bytes bytes(count + data.size(), filler);
  std::copy(data.begin(), data.end(), bytes.begin() + static_cast<ptrdiff_t>(count));
  return bytes;
}

Bytes Header(uint32_t storedSize, const char* signature, uint16_t width, uint16_t height,
             uint8_t bits) {
  Bytes h = {static_cast<uint8_t>(storedSize), static_cast<uint8_t>(storedSize >> 8),
             static_cast<uint8_t>(storedSize >> 16), static_cast<uint8_t>(storedSize >> 24)};
  for (int i = 0; i < 3; ++i) h.push_back(static_cast<uint8_t>(signature[i]));
  h.push_back(static_cast<uint8_t>(width >> 8));
  h.push_back(static_cast<uint8_t>(width));
  h.push_back(static_cast<uint8_t>(height >> 8));
  h.push_back(static_cast<uint8_t>(height));
  h.push_back(bits);
  return h;
}

namespace {

struct Recorder {
  std::vector<std::pair<int32_t, int32_t>> calls;
  int abortAt;
};

int32_t QRV_CALL Record(int32_t numerator, int32_t denominator, QrvUser user) {
  auto* recorder = reinterpret_cast<Recorder*>(user);
  recorder->calls.emplace_back(numerator, denominator);
  return static_cast<int>(recorder->calls.size()) - 1 == recorder->abortAt ? 1 : 0;
}

uint32_t Le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

Bytes CopyBlock(BlockHandle block, size_t size) {
  auto* address = static_cast<const uint8_t*>(platform::LockBlock(block));
  EXPECT_NE(address, nullptr);
  Bytes bytes;
  if (address != nullptr) bytes.assign(address, address + size);
  platform::UnlockBlock(block);
  return bytes;
}

}  // namespace

Decoded DecodeWith(GetPictureFn getPicture, ReleaseHostBlock release, const Bytes& file,
                   int abortAt, bool nullCallback) {
  Decoded out;
  Recorder recorder{{}, abortAt};
  Bytes copy = file;
  if (copy.empty()) copy.push_back(0);  // a valid address for an empty source
  QrvBlock info = reinterpret_cast<QrvBlock>(uintptr_t{0x5a5a});
  QrvBlock bits = info;
  out.rc = getPicture(reinterpret_cast<char*>(copy.data()), static_cast<int32_t>(file.size()), 1,
                      &info, &bits, nullCallback ? nullptr : Record,
                      reinterpret_cast<QrvUser>(&recorder));
  out.progress = recorder.calls;
  if (out.rc != RC_OK) {
    out.nullAfterFailure = info == nullptr && bits == nullptr;
    return out;
  }
  Bytes head = CopyBlock(info, 40);
  if (head.size() != 40) return out;
  size_t infoSize = 40 + (head[14] == 8 ? 1024 : 0);
  out.info = CopyBlock(info, infoSize);
  out.pixels = CopyBlock(bits, Le32(head.data() + 20));
  EXPECT_TRUE(release(info)) << "header block not handed over unlocked";
  EXPECT_TRUE(release(bits)) << "pixel block not handed over unlocked";
  return out;
}

}  // namespace qrv::test
