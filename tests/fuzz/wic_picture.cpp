// The Windows codec's plain part (hosts/wic/wic_picture.cpp), as Explorer and
// WIC programs drive it: the picture read from a source in chunks, decoded,
// a rectangle copied out with a stride, and a thumbnail made. Input: a chunk
// byte (chunks of 1 + byte % 64 bytes; 0xff: all at once), the thumbnail's
// side (1 + byte), four rectangle bytes (x, y, width, height, each taken
// modulo what fits, plus one), a stride byte (bytes beyond the row), then the
// picture. Pictures needing more than 1 MiB of pixels are left out.
//
// Checked against GetPicture on the same bytes: reading keeps the input's own
// bytes; decoding succeeds exactly when GetPicture does; the rectangle holds
// GetPicture's samples; the thumbnail has the promised size, is opaque, and
// is the picture itself when not scaled. ASan sees every write past the
// exact-size buffers.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "host_block.h"
#include "qrvnel.h"
#include "wic_picture.h"

extern "C" {
int32_t QRV_CALL GetPicture(char* src, int32_t len, uint32_t flag, QrvBlock* info_out,
                            QrvBlock* bits_out, ProgressCallback progress, QrvUser user);
int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
}

namespace {

using qrv::wic::Status;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

void Require(bool ok, const char* what) {
  if (!ok) Fail(what);
}

class ChunkSource final : public qrv::wic::ByteSource {
 public:
  ChunkSource(const uint8_t* data, size_t size, size_t chunk)
      : data_(data), size_(size), chunk_(chunk) {}
  bool Read(uint8_t* into, uint32_t count, uint32_t* got) override {
    size_t n = size_ - at_;
    if (n > count) n = count;
    if (n > chunk_) n = chunk_;
    if (n != 0) std::memcpy(into, data_ + at_, n);
    at_ += n;
    *got = static_cast<uint32_t>(n);
    return true;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t chunk_;
  size_t at_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 7) return 0;
  const size_t chunk = data[0] == 0xff ? SIZE_MAX : 1u + data[0] % 64u;
  const uint32_t cx = 1u + data[1];
  const uint8_t* rectBytes = data + 2;
  const uint32_t strideExtra = data[6];
  std::vector<uint8_t> file(data + 7, data + size);
  if (file.size() >= 12) {
    const uint64_t width = (uint64_t{file[7]} << 8) | file[8];
    const uint64_t height = (uint64_t{file[9]} << 8) | file[10];
    if ((width * 3 + 3) / 4 * 4 * height > (1u << 20)) return 0;
  }

  ChunkSource source(file.data(), file.size(), chunk);
  qrv::wic::Buffer bytes;
  qrv::wic::Header header = {};
  Status status = qrv::wic::ReadPicture(source, qrv::wic::kMaxPixels, &bytes, &header);
  Require(status == Status::kOk || status == Status::kBadHeader, "unexpected read status");
  if (status != Status::kOk) return 0;
  Require(bytes.size() <= file.size() && std::memcmp(bytes.data(), file.data(), bytes.size()) == 0,
          "read bytes differ from the input");

  QrvBlock info = nullptr;
  QrvBlock bits = nullptr;
  std::vector<uint8_t> copy = file;
  const int32_t rc = GetPicture(reinterpret_cast<char*>(copy.data()),
                                static_cast<int32_t>(copy.size()), QRV_INPUT_MEMORY, &info, &bits,
                                nullptr, 0);
  qrv::host::HostBlock infoBlock(info);
  qrv::host::HostBlock bitsBlock(bits);
  qrv::wic::Picture picture;
  status = picture.Decode(bytes.data(), bytes.size());
  Require((status == Status::kOk) == (rc == RC_OK), "decoding disagrees with GetPicture");
  if (status != Status::kOk) {
    Require(picture.empty(), "a failed decode left a picture");
    return 0;
  }

  const uint32_t width = picture.width();
  const uint32_t height = picture.height();
  const uint32_t pixel = picture.bitsPerPixel() / 8;
  const uint32_t stride = (width * pixel + 3) & ~3u;
  const uint8_t* reference = bitsBlock.Lock();
  qrv::wic::Rect rect;
  rect.x = static_cast<int32_t>(rectBytes[0] % width);
  rect.y = static_cast<int32_t>(rectBytes[1] % height);
  rect.width = static_cast<int32_t>(1 + rectBytes[2] % (width - static_cast<uint32_t>(rect.x)));
  rect.height = static_cast<int32_t>(1 + rectBytes[3] % (height - static_cast<uint32_t>(rect.y)));
  const uint32_t rowBytes = static_cast<uint32_t>(rect.width) * pixel;
  const uint32_t outStride = rowBytes + strideExtra;
  const uint32_t needed = outStride * static_cast<uint32_t>(rect.height - 1) + rowBytes;
  std::vector<uint8_t> out(needed);
  Require(picture.CopyRect(&rect, outStride, needed - 1, out.data()) == Status::kBufferTooSmall,
          "a short buffer was taken");
  Require(picture.CopyRect(&rect, outStride, needed, out.data()) == Status::kOk, "copy failed");
  for (int32_t y = 0; y < rect.height; ++y) {
    const uint8_t* want = reference + size_t{height - 1 - static_cast<uint32_t>(rect.y + y)} * stride +
                          size_t{static_cast<uint32_t>(rect.x)} * pixel;
    Require(std::memcmp(out.data() + size_t{outStride} * static_cast<uint32_t>(y), want, rowBytes) == 0,
            "copied rows differ from GetPicture's");
  }

  qrv::wic::Thumbnail thumbnail;
  uint32_t thumbWidth = 0;
  uint32_t thumbHeight = 0;
  Require(qrv::wic::ThumbnailSize(width, height, cx, &thumbWidth, &thumbHeight), "no size");
  Require(qrv::wic::MakeThumbnail(picture, cx, &thumbnail) == Status::kOk, "thumbnail failed");
  Require(thumbnail.width == thumbWidth && thumbnail.height == thumbHeight &&
              thumbnail.pixels.size() == size_t{thumbWidth} * thumbHeight * 4,
          "thumbnail size differs");
  const bool unscaled = thumbWidth == width && thumbHeight == height;
  for (uint32_t i = 0; i < thumbWidth * thumbHeight; ++i) {
    const uint8_t* px = thumbnail.pixels.data() + 4 * i;
    Require(px[3] == 255, "thumbnail not opaque");
    if (unscaled) {
      Require(std::memcmp(px, picture.Bgr(i % width, i / width), 3) == 0,
              "unscaled thumbnail differs from the picture");
    }
  }
  return 0;
}
