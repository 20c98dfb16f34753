#include "png_file.h"
#include "sample_rules.h"

#if defined(QRV_HAVE_PNG)
#include <png.h>

#include <csetjmp>
#include <cstring>
#include <memory>
#endif

namespace qrv::host {

#if defined(QRV_HAVE_PNG)

bool PngAvailable() { return true; }

bool EncodePng(const Image& image, std::vector<uint8_t>* out, std::string* error) {
  png_image png;
  std::memset(&png, 0, sizeof png);
  png.version = PNG_IMAGE_VERSION;
  png.width = image.width;
  png.height = image.height;
  std::vector<uint8_t> colourMap;
  const void* colourMapData = nullptr;
  if (image.channels == 3) {
    png.format = PNG_FORMAT_BGR;
  } else if (image.colourTable.empty()) {
    png.format = PNG_FORMAT_GRAY;
  } else {
    // The bitmap table is blue, green, red, 0; libpng's map here is BGR.
    png.format = PNG_FORMAT_BGR_COLORMAP;
    png.colormap_entries = 256;
    colourMap.resize(256 * 3);
    for (size_t i = 0; i < 256; ++i) std::memcpy(&colourMap[i * 3], &image.colourTable[i * 4], 3);
    colourMapData = colourMap.data();
  }
  const auto stride = static_cast<png_int_32>(image.width * static_cast<uint32_t>(image.channels));
  png_alloc_size_t size = 0;
  if (!png_image_write_to_memory(&png, nullptr, &size, 0, image.samples.data(), stride,
                                 colourMapData)) {
    *error = std::string("PNG encoding failed: ") + png.message;
    png_image_free(&png);
    return false;
  }
  out->resize(size);
  if (!png_image_write_to_memory(&png, out->data(), &size, 0, image.samples.data(), stride,
                                 colourMapData)) {
    *error = std::string("PNG encoding failed: ") + png.message;
    png_image_free(&png);
    return false;
  }
  out->resize(size);
  return true;
}

namespace {

// What the reader's callbacks share; reached through a pointer that does not
// change after setjmp, so it stays valid across libpng's longjmp.
struct PngReading {
  const std::vector<uint8_t>* bytes = nullptr;
  size_t offset = 0;
  std::string message;
  std::vector<uint8_t> pixels;
  std::vector<png_bytep> rows;
};

void ReadFromMemory(png_structp png, png_bytep out, png_size_t count) {
  auto* reading = static_cast<PngReading*>(png_get_io_ptr(png));
  if (reading->bytes->size() - reading->offset < count) png_error(png, "the file ends early");
  std::memcpy(out, reading->bytes->data() + reading->offset, count);
  reading->offset += count;
}

void OnPngError(png_structp png, png_const_charp message) {
  static_cast<PngReading*>(png_get_error_ptr(png))->message = message;
  png_longjmp(png, 1);
}

void OnPngWarning(png_structp, png_const_charp) {}


}  // namespace

// The rules of sample_rules.h, after libpng has expanded palettes and low
// depths to 8 bits and transparency to alpha.
bool DecodePng(const std::vector<uint8_t>& bytes, Image* image, std::string* error) {
  auto reading = std::make_unique<PngReading>();
  reading->bytes = &bytes;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, reading.get(), OnPngError,
                                           OnPngWarning);
  png_infop info = png == nullptr ? nullptr : png_create_info_struct(png);
  if (info == nullptr) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    *error = "not enough memory to read the PNG file";
    return false;
  }
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    *error = "cannot decode the PNG file: " + reading->message;
    return false;
  }
  png_set_read_fn(png, reading.get(), ReadFromMemory);
  png_read_info(png, info);
  const png_uint_32 width = png_get_image_width(png, info);
  const png_uint_32 height = png_get_image_height(png, info);
  if (width == 0 || height == 0 || width > 65535 || height > 65535) {
    png_destroy_read_struct(&png, &info, nullptr);
    *error = "PNG dimensions out of range (1 to 65535 pixels each way)";
    return false;
  }
  png_set_expand(png);  // palette to colour, low-depth grey to 8 bits, tRNS to alpha
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  const unsigned channels = png_get_channels(png, info);
  const bool wide = png_get_bit_depth(png, info) == 16;
  const size_t rowBytes = png_get_rowbytes(png, info);
  reading->pixels.resize(rowBytes * height);
  reading->rows.resize(height);
  for (png_uint_32 y = 0; y < height; ++y) reading->rows[y] = &reading->pixels[y * rowBytes];
  png_read_image(png, reading->rows.data());
  png_destroy_read_struct(&png, &info, nullptr);

  image->width = width;
  image->height = height;
  image->colourTable.clear();
  const int bits = RowsToPictureSamples(reading->pixels.data(), rowBytes, width, height, channels,
                                        wide, &image->samples);
  image->channels = bits / 8;
  return true;
}

#else

namespace {
constexpr const char* kNoPng = "PNG files are not supported by this build of qrv (use .bmp)";
}

bool PngAvailable() { return false; }

bool EncodePng(const Image&, std::vector<uint8_t>*, std::string* error) {
  *error = kNoPng;
  return false;
}

bool DecodePng(const std::vector<uint8_t>&, Image*, std::string* error) {
  *error = kNoPng;
  return false;
}

#endif

}  // namespace qrv::host
