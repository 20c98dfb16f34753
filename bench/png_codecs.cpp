// libpng and libspng behind three plain functions. libpng reports errors by
// longjmp, so its callers here keep nothing with a destructor alive across the
// setjmp point but what was built before it.
#include "png_codecs.h"

#include <png.h>
#include <spng.h>

#include <cstring>
#include <stdexcept>

namespace qrv::bench {

namespace {

struct MemoryReader {
  const uint8_t* data;
  size_t size;
  size_t offset;
};

void ReadFromMemory(png_structp png, png_bytep out, png_size_t count) {
  auto* reader = static_cast<MemoryReader*>(png_get_io_ptr(png));
  if (count > reader->size - reader->offset) png_error(png, "read past the end of the PNG");
  std::memcpy(out, reader->data + reader->offset, count);
  reader->offset += count;
}

void WriteToVector(png_structp png, png_bytep data, png_size_t count) {
  auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + count);
}

void FlushNothing(png_structp) {}

// libpng's default handler prints and aborts; these jump back to the caller.
void OnPngError(png_structp png, png_const_charp message) {
  auto* error = static_cast<std::string*>(png_get_error_ptr(png));
  if (error != nullptr) *error = message;
  png_longjmp(png, 1);
}
void OnPngWarning(png_structp, png_const_charp) {}

}  // namespace

std::vector<uint8_t> EncodePng(const Picture& picture) {
  std::vector<uint8_t> out;
  std::string error;
  const size_t rowBytes = size_t{picture.width} * picture.BytesPerPixel();
  std::vector<png_bytep> rows(picture.height);
  for (uint32_t y = 0; y < picture.height; ++y)
    rows[y] = const_cast<png_bytep>(picture.samples.data() + y * rowBytes);

  png_structp png =
      png_create_write_struct(PNG_LIBPNG_VER_STRING, &error, OnPngError, OnPngWarning);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  if (info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    throw std::runtime_error("libpng: cannot create a writer");
  }
  if (setjmp(png_jmpbuf(png)) != 0) {
    png_destroy_write_struct(&png, &info);
    throw std::runtime_error("libpng: " + error);
  }
  png_set_write_fn(png, &out, WriteToVector, FlushNothing);
  png_set_IHDR(png, info, picture.width, picture.height, 8,
               picture.bitsPerPixel == 8 ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_RGB,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  png_write_image(png, rows.data());
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return out;
}

bool DecodeWithSpng(const std::vector<uint8_t>& png, uint8_t* out, size_t outSize,
                    std::string* error) {
  spng_ctx* ctx = spng_ctx_new(0);
  if (ctx == nullptr) {
    *error = "spng_ctx_new failed";
    return false;
  }
  size_t needed = 0;
  int rc = spng_set_png_buffer(ctx, png.data(), png.size());
  if (rc == 0) rc = spng_decoded_image_size(ctx, SPNG_FMT_PNG, &needed);
  if (rc == 0 && needed != outSize) rc = SPNG_EOVERFLOW;
  // SPNG_FMT_PNG: the PNG's own layout (RGB8 or G8), no conversion.
  if (rc == 0) rc = spng_decode_image(ctx, out, outSize, SPNG_FMT_PNG, 0);
  spng_ctx_free(ctx);
  if (rc != 0) *error = std::string("libspng: ") + spng_strerror(rc);
  return rc == 0;
}

bool DecodeWithLibpng(const std::vector<uint8_t>& png, uint8_t* out, size_t outSize,
                      std::string* error) {
  MemoryReader reader{png.data(), png.size(), 0};
  std::vector<png_bytep> rows;
  png_structp read = png_create_read_struct(PNG_LIBPNG_VER_STRING, error, OnPngError,
                                            OnPngWarning);
  png_infop info = read != nullptr ? png_create_info_struct(read) : nullptr;
  if (info == nullptr) {
    png_destroy_read_struct(&read, nullptr, nullptr);
    *error = "libpng: cannot create a reader";
    return false;
  }
  if (setjmp(png_jmpbuf(read)) != 0) {
    png_destroy_read_struct(&read, &info, nullptr);
    return false;
  }
  png_set_read_fn(read, &reader, ReadFromMemory);
  png_read_info(read, info);
  const png_uint_32 height = png_get_image_height(read, info);
  const size_t rowBytes = png_get_rowbytes(read, info);
  if (size_t{height} * rowBytes != outSize) png_error(read, "unexpected picture size");
  rows.resize(height);
  for (png_uint_32 y = 0; y < height; ++y) rows[y] = out + y * rowBytes;
  png_read_image(read, rows.data());
  png_read_end(read, nullptr);
  png_destroy_read_struct(&read, &info, nullptr);
  return true;
}

}  // namespace qrv::bench
