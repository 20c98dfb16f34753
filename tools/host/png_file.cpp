#include "png_file.h"

#if defined(QRV_HAVE_PNG)
#include <png.h>

#include <cstring>
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

bool DecodePng(const std::vector<uint8_t>& bytes, Image* image, std::string* error) {
  png_image png;
  std::memset(&png, 0, sizeof png);
  png.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&png, bytes.data(), bytes.size())) {
    *error = std::string("not a readable PNG file: ") + png.message;
    return false;
  }
  const bool grey = (png.format & (PNG_FORMAT_FLAG_COLOR | PNG_FORMAT_FLAG_ALPHA)) == 0 &&
                    (png.format & PNG_FORMAT_FLAG_COLORMAP) == 0;
  if (png.width == 0 || png.height == 0 || png.width > 65535 || png.height > 65535) {
    *error = "PNG dimensions out of range (1 to 65535 pixels each way)";
    png_image_free(&png);
    return false;
  }
  png.format = grey ? PNG_FORMAT_GRAY : PNG_FORMAT_BGR;
  image->width = png.width;
  image->height = png.height;
  image->channels = grey ? 1 : 3;
  image->colourTable.clear();
  image->samples.assign(PNG_IMAGE_SIZE(png), 0);
  const png_color white = {255, 255, 255};
  if (!png_image_finish_read(&png, &white, image->samples.data(), 0, nullptr)) {
    *error = std::string("cannot decode the PNG file: ") + png.message;
    png_image_free(&png);
    return false;
  }
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
