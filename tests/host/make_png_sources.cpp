// Writes PNG files of every colour type and bit depth (with and without
// transparency, interlaced or not, odd widths) into a directory, through
// libpng's own writer. They are the common sources on which the Linux and the
// Windows builds of qrv must agree pixel for pixel.
#include <png.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Source {
  const char* name;
  int colourType;
  int bitDepth;
  uint32_t width;
  uint32_t height;
  bool transparency;  // a tRNS chunk (grey, RGB or palette)
  bool interlaced;
};

const Source kSources[] = {
    {"grey1", PNG_COLOR_TYPE_GRAY, 1, 13, 5, false, false},
    {"grey2", PNG_COLOR_TYPE_GRAY, 2, 7, 3, false, false},
    {"grey4", PNG_COLOR_TYPE_GRAY, 4, 9, 4, false, false},
    {"grey8", PNG_COLOR_TYPE_GRAY, 8, 33, 7, false, false},
    {"grey16", PNG_COLOR_TYPE_GRAY, 16, 11, 6, false, false},
    {"grey8-trns", PNG_COLOR_TYPE_GRAY, 8, 15, 4, true, false},
    {"greyalpha8", PNG_COLOR_TYPE_GRAY_ALPHA, 8, 17, 5, false, false},
    {"greyalpha16", PNG_COLOR_TYPE_GRAY_ALPHA, 16, 5, 5, false, false},
    {"rgb8", PNG_COLOR_TYPE_RGB, 8, 31, 9, false, false},
    {"rgb8-interlaced", PNG_COLOR_TYPE_RGB, 8, 23, 11, false, true},
    {"rgb16", PNG_COLOR_TYPE_RGB, 16, 13, 4, false, false},
    {"rgba8", PNG_COLOR_TYPE_RGB_ALPHA, 8, 19, 6, false, false},
    {"rgba16", PNG_COLOR_TYPE_RGB_ALPHA, 16, 7, 7, false, false},
    {"palette4", PNG_COLOR_TYPE_PALETTE, 4, 15, 5, false, false},
    {"palette8-trns", PNG_COLOR_TYPE_PALETTE, 8, 21, 5, true, false},
};

// A small deterministic generator; every eighth sample is 0 or the top value
// so that fully transparent and fully opaque pixels occur.
uint32_t Next(uint32_t* state) {
  *state = *state * 1664525u + 1013904223u;
  return *state >> 8;
}

int ChannelsOf(int colourType) {
  switch (colourType) {
    case PNG_COLOR_TYPE_GRAY_ALPHA: return 2;
    case PNG_COLOR_TYPE_RGB: return 3;
    case PNG_COLOR_TYPE_RGB_ALPHA: return 4;
    default: return 1;
  }
}

bool Write(const std::string& path, const Source& source, uint32_t seed) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    std::fclose(file);
    return false;
  }
  png_init_io(png, file);
  png_set_IHDR(png, info, source.width, source.height, source.bitDepth, source.colourType,
               source.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  const uint32_t top = (1u << source.bitDepth) - 1;
  uint32_t state = seed;
  if (source.colourType == PNG_COLOR_TYPE_PALETTE) {
    std::vector<png_color> palette(top + 1);
    std::vector<png_byte> alpha(top + 1);
    for (size_t i = 0; i < palette.size(); ++i) {
      palette[i] = {static_cast<png_byte>(Next(&state)), static_cast<png_byte>(Next(&state)),
                    static_cast<png_byte>(Next(&state))};
      alpha[i] = static_cast<png_byte>(i % 3 == 0 ? 0 : i % 3 == 1 ? 255 : Next(&state));
    }
    png_set_PLTE(png, info, palette.data(), static_cast<int>(palette.size()));
    if (source.transparency) {
      png_set_tRNS(png, info, alpha.data(), static_cast<int>(alpha.size()), nullptr);
    }
  } else if (source.transparency) {
    png_color_16 key = {};
    key.gray = key.red = key.green = key.blue = static_cast<png_uint_16>(top);
    png_set_tRNS(png, info, nullptr, 0, &key);
  }
  png_write_info(png, info);
  if (source.bitDepth == 16) png_set_swap(png);  // rows below hold native words
  const int channels = ChannelsOf(source.colourType);
  const size_t rowBytes = (static_cast<size_t>(source.width) * channels * source.bitDepth + 7) / 8;
  std::vector<std::vector<png_byte>> rows(source.height, std::vector<png_byte>(rowBytes, 0));
  for (std::vector<png_byte>& row : rows) {
    for (uint32_t i = 0; i < source.width * channels; ++i) {
      uint32_t r = Next(&state);
      uint32_t value = r % 8 == 0 ? 0 : r % 8 == 1 ? top : (r >> 3) & top;
      if (source.bitDepth == 16) {
        row[i * 2] = static_cast<png_byte>(value);
        row[i * 2 + 1] = static_cast<png_byte>(value >> 8);
      } else if (source.bitDepth == 8) {
        row[i] = static_cast<png_byte>(value);
      } else {
        const uint32_t perByte = 8 / source.bitDepth;
        row[i / perByte] |= static_cast<png_byte>(
            value << (8 - source.bitDepth * (i % perByte + 1)));
      }
    }
  }
  std::vector<png_bytep> pointers;
  for (std::vector<png_byte>& row : rows) pointers.push_back(row.data());
  png_write_image(png, pointers.data());
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return std::fclose(file) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  uint32_t seed = 1;
  for (const Source& source : kSources) {
    std::string path = std::string(argv[1]) + "/" + source.name + ".png";
    if (!Write(path, source, seed++)) {
      std::fprintf(stderr, "cannot write %s\n", path.c_str());
      return 1;
    }
    std::printf("%s\n", path.c_str());
  }
  return 0;
}
