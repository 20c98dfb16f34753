// The gdk-pixbuf loader module as gdk-pixbuf drives it: begin_load, the bytes
// in chunks through load_increment, stop_load; and the one-shot load from a
// FILE. Input: a chunk byte (chunks of 1 + byte % 64 bytes; 0xff: all at
// once), a size byte (0x40 to 0x7f: the size callback asks for a size of 0, as
// gdk_pixbuf_get_file_info does), then the picture. Pictures that would need
// more than 1 MiB of pixels are left out.
//
// Checked against GetPicture on the same bytes: both paths succeed exactly when
// it does, with its pixels in top-down RGB; a failure always comes with an
// error and never with a prepared pixbuf; the callbacks come once each, in
// order, the update covering the whole picture; nothing leaks (ASan).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#define GDK_PIXBUF_ENABLE_BACKEND
#include <gdk-pixbuf/gdk-pixbuf-io.h>
#undef GDK_PIXBUF_ENABLE_BACKEND

#include "qrvnel.h"

extern "C" {
void fill_vtable(GdkPixbufModule* module);
int32_t QRV_CALL GetPicture(char* src, int32_t len, uint32_t flag, QrvBlock* info_out,
                            QrvBlock* bits_out, ProgressCallback progress, QrvUser user);
int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
}

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

void Require(bool ok, const char* what) {
  if (!ok) Fail(what);
}

// What the filter itself makes of the bytes: top-down RGB rows, tightly packed.
struct Expected {
  bool ok = false;
  int32_t width = 0;
  int32_t height = 0;
  std::vector<uint8_t> rgb;
};

Expected DecodeDirectly(std::vector<uint8_t>& bytes) {
  Expected expected;
  QrvBlock infoBlock = nullptr;
  QrvBlock bitsBlock = nullptr;
  if (GetPicture(reinterpret_cast<char*>(bytes.data()), static_cast<int32_t>(bytes.size()),
                 QRV_INPUT_MEMORY, &infoBlock, &bitsBlock, nullptr, 0) != RC_OK) {
    return expected;
  }
  QrvBitmapHeader header;
  std::memcpy(&header, infoBlock, sizeof header);
  const auto* table = static_cast<const uint8_t*>(infoBlock) + sizeof header;
  const auto* bits = static_cast<const uint8_t*>(bitsBlock);
  const uint32_t bytesPerPixel = header.bit_count / 8u;
  const uint32_t stride = (header.width * bytesPerPixel + 3u) & ~3u;
  expected.ok = true;
  expected.width = header.width;
  expected.height = header.height;
  for (int32_t r = header.height - 1; r >= 0; --r) {
    const uint8_t* row = bits + static_cast<size_t>(r) * stride;
    for (int32_t x = 0; x < header.width; ++x) {
      const uint8_t* bgr = bytesPerPixel == 3 ? row + 3 * x : table + 4 * row[x];
      expected.rgb.insert(expected.rgb.end(), {bgr[2], bgr[1], bgr[0]});
    }
  }
  std::free(infoBlock);
  std::free(bitsBlock);
  return expected;
}

void RequireSamePixels(GdkPixbuf* pixbuf, const Expected& expected) {
  Require(gdk_pixbuf_get_width(pixbuf) == expected.width &&
              gdk_pixbuf_get_height(pixbuf) == expected.height,
          "pixbuf size differs from the picture's");
  Require(gdk_pixbuf_get_n_channels(pixbuf) == 3 && !gdk_pixbuf_get_has_alpha(pixbuf) &&
              gdk_pixbuf_get_bits_per_sample(pixbuf) == 8,
          "pixbuf is not 8-bit RGB");
  const guint8* pixels = gdk_pixbuf_read_pixels(pixbuf);
  const int rowstride = gdk_pixbuf_get_rowstride(pixbuf);
  const size_t rowBytes = static_cast<size_t>(expected.width) * 3;
  for (int32_t r = 0; r < expected.height; ++r) {
    Require(std::memcmp(pixels + static_cast<size_t>(r) * rowstride,
                        expected.rgb.data() + r * rowBytes, rowBytes) == 0,
            "pixbuf pixels differ from GetPicture's");
  }
}

struct Calls {
  bool askZero = false;
  int sized = 0;
  int prepared = 0;
  int updated = 0;
  int width = 0;
  int height = 0;
  GdkPixbuf* pixbuf = nullptr;
};

void OnSize(gint* width, gint* height, gpointer user) {
  auto* calls = static_cast<Calls*>(user);
  Require(calls->sized++ == 0 && calls->prepared == 0, "size announced twice or late");
  calls->width = *width;
  calls->height = *height;
  if (calls->askZero) *width = *height = 0;
}

void OnPrepared(GdkPixbuf* pixbuf, GdkPixbufAnimation*, gpointer user) {
  auto* calls = static_cast<Calls*>(user);
  Require(calls->prepared++ == 0 && pixbuf != nullptr, "prepared twice or without a pixbuf");
  calls->pixbuf = GDK_PIXBUF(g_object_ref(pixbuf));
}

void OnUpdated(GdkPixbuf* pixbuf, int x, int y, int width, int height, gpointer user) {
  auto* calls = static_cast<Calls*>(user);
  Require(calls->prepared == 1 && pixbuf == calls->pixbuf, "update before prepared");
  Require(x == 0 && y == 0 && width == gdk_pixbuf_get_width(pixbuf) &&
              height == gdk_pixbuf_get_height(pixbuf),
          "update does not cover the picture");
  ++calls->updated;
}

void RunIncremental(const GdkPixbufModule& module, const std::vector<uint8_t>& bytes,
                    size_t chunk, bool askZero, const Expected& expected) {
  Calls calls;
  calls.askZero = askZero;
  GError* error = nullptr;
  gpointer context = module.begin_load(OnSize, OnPrepared, OnUpdated, &calls, &error);
  Require(context != nullptr && error == nullptr, "begin_load failed");
  bool ok = true;
  for (size_t at = 0; ok && at < bytes.size(); at += chunk) {
    const size_t count = bytes.size() - at < chunk ? bytes.size() - at : chunk;
    ok = module.load_increment(context, bytes.data() + at, static_cast<guint>(count), &error);
    Require(ok == (error == nullptr), "load_increment result and error disagree");
  }
  if (!ok) {
    g_clear_error(&error);
    // gdk-pixbuf closes a loader whose write failed, without asking for the error.
    Require(!module.stop_load(context, nullptr), "stop_load succeeded after a failed increment");
  } else {
    ok = module.stop_load(context, &error);
    Require(ok == (error == nullptr), "stop_load result and error disagree");
    Require(error == nullptr || error->message[0] != '\0', "an empty error message");
    g_clear_error(&error);
  }
  const bool wanted = expected.ok && !askZero;
  Require(ok == wanted, "incremental load disagrees with GetPicture");
  if (ok) {
    Require(calls.sized == 1 && calls.prepared == 1 && calls.updated == 1, "callbacks missing");
    Require(calls.width == expected.width && calls.height == expected.height,
            "announced size differs");
    RequireSamePixels(calls.pixbuf, expected);
  } else {
    Require(calls.prepared == 0, "a failed load prepared a pixbuf");
  }
  if (calls.pixbuf != nullptr) g_object_unref(calls.pixbuf);
}

void RunOneShot(const GdkPixbufModule& module, std::vector<uint8_t>& bytes,
                const Expected& expected) {
  // fmemopen refuses an empty buffer; an empty file is refused by gdk-pixbuf
  // before any module sees it.
  if (bytes.empty()) return;
  FILE* file = fmemopen(bytes.data(), bytes.size(), "rb");
  Require(file != nullptr, "fmemopen failed");
  GError* error = nullptr;
  GdkPixbuf* pixbuf = module.load(file, &error);
  std::fclose(file);
  Require((pixbuf != nullptr) == (error == nullptr), "load result and error disagree");
  Require((pixbuf != nullptr) == expected.ok, "one-shot load disagrees with GetPicture");
  if (pixbuf != nullptr) {
    RequireSamePixels(pixbuf, expected);
    g_object_unref(pixbuf);
  }
  g_clear_error(&error);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t chunkByte = data[0];
  const uint8_t sizeByte = data[1];
  std::vector<uint8_t> bytes(data + 2, data + size);
  if (bytes.size() >= 12) {
    const uint64_t width = (uint64_t{bytes[7]} << 8) | bytes[8];
    const uint64_t height = (uint64_t{bytes[9]} << 8) | bytes[10];
    if ((width * 3 + 3) / 4 * 4 * height > (1u << 20)) return 0;
  }
  static GdkPixbufModule module = [] {
    GdkPixbufModule filled = {};
    fill_vtable(&filled);
    return filled;
  }();
  const Expected expected = DecodeDirectly(bytes);
  const size_t chunk = chunkByte == 0xff ? bytes.size() + 1 : 1u + chunkByte % 64u;
  RunIncremental(module, bytes, chunk, sizeByte >= 0x40 && sizeByte < 0x80, expected);
  RunOneShot(module, bytes, expected);
  return 0;
}
