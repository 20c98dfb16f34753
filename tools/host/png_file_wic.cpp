// PNG files through the Windows Imaging Component, so that the Windows build
// needs no codec library of its own. The decoded samples follow the same rules
// as the libpng build: greyscale without alpha stays one channel, 16-bit
// samples are rounded to 8 bits, and alpha is laid over white.
#include <windows.h>

#include <initguid.h>
#include <wincodec.h>

#include <cstdio>

#include "png_file.h"
#include "sample_rules.h"

namespace qrv::host {
namespace {

// A COM pointer released when it goes out of scope.
template <typename T>
class Com {
 public:
  Com() = default;
  ~Com() {
    if (p_ != nullptr) p_->Release();
  }
  Com(const Com&) = delete;
  Com& operator=(const Com&) = delete;
  T* operator->() const { return p_; }
  T* get() const { return p_; }
  T** out() { return &p_; }

 private:
  T* p_ = nullptr;
};

// COM for the calling thread: pictures are converted on worker threads, each
// of which needs its own initialisation.
class ComThread {
 public:
  ComThread() : hr_(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
  ~ComThread() {
    if (SUCCEEDED(hr_)) CoUninitialize();
  }
  ComThread(const ComThread&) = delete;
  ComThread& operator=(const ComThread&) = delete;

 private:
  HRESULT hr_;
};

std::string Failure(const char* what, HRESULT hr) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
  return std::string(what) + " (Windows Imaging Component error " + code + ")";
}

bool CreateFactory(Com<IWICImagingFactory>* factory, std::string* error) {
  HRESULT hr = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IWICImagingFactory, reinterpret_cast<void**>(factory->out()));
  if (FAILED(hr)) *error = Failure("the PNG codec of Windows is not available", hr);
  return SUCCEEDED(hr);
}


// The frame's samples in its own format, `stride` bytes a row.
bool CopyRows(IWICBitmapSource* source, uint32_t width, uint32_t height, uint32_t bitsPerPixel,
              std::vector<uint8_t>* rows, uint32_t* stride, std::string* error) {
  *stride = static_cast<uint32_t>((static_cast<uint64_t>(width) * bitsPerPixel + 7) / 8);
  rows->assign(static_cast<size_t>(*stride) * height, 0);
  HRESULT hr = source->CopyPixels(nullptr, *stride, static_cast<UINT>(rows->size()), rows->data());
  if (FAILED(hr)) *error = Failure("cannot decode the PNG file: damaged image data", hr);
  return SUCCEEDED(hr);
}

// Grey levels of 1, 2, 4, 8 or 16 bits, packed from the high bit, to 8 bits.
void UnpackGrey(const std::vector<uint8_t>& rows, uint32_t stride, uint32_t bits, Image* image) {
  for (uint32_t y = 0; y < image->height; ++y) {
    const uint8_t* row = &rows[static_cast<size_t>(y) * stride];
    uint8_t* out = &image->samples[static_cast<size_t>(y) * image->width];
    for (uint32_t x = 0; x < image->width; ++x) {
      if (bits == 16) {
        out[x] = Round16(row[x * 2] | (row[x * 2 + 1] << 8));  // little-endian words
        continue;
      }
      if (bits == 8) {
        out[x] = row[x];
        continue;
      }
      const uint32_t perByte = 8 / bits;
      const uint32_t shift = 8 - bits * (x % perByte + 1);
      const uint32_t level = (row[x / perByte] >> shift) & ((1u << bits) - 1);
      out[x] = static_cast<uint8_t>(level * 255 / ((1u << bits) - 1));  // bit replication
    }
  }
}

}  // namespace

bool PngAvailable() { return true; }

bool DecodePng(const std::vector<uint8_t>& bytes, Image* image, std::string* error) {
  ComThread com;
  Com<IWICImagingFactory> factory;
  if (!CreateFactory(&factory, error)) return false;
  if (bytes.size() > 0x7fffffffu) {
    *error = "the PNG file is too large";
    return false;
  }
  Com<IWICStream> stream;
  HRESULT hr = factory->CreateStream(stream.out());
  // WIC reads the block in place and never writes it.
  if (SUCCEEDED(hr)) {
    hr = stream->InitializeFromMemory(const_cast<BYTE*>(bytes.data()),
                                      static_cast<DWORD>(bytes.size()));
  }
  Com<IWICBitmapDecoder> decoder;
  if (SUCCEEDED(hr)) hr = factory->CreateDecoder(GUID_ContainerFormatPng, nullptr, decoder.out());
  if (FAILED(hr)) {
    *error = Failure("the PNG codec of Windows is not available", hr);
    return false;
  }
  Com<IWICBitmapFrameDecode> frame;
  hr = decoder->Initialize(stream.get(), WICDecodeMetadataCacheOnDemand);
  if (SUCCEEDED(hr)) hr = decoder->GetFrame(0, frame.out());
  UINT width = 0;
  UINT height = 0;
  WICPixelFormatGUID format = {};
  if (SUCCEEDED(hr)) hr = frame->GetSize(&width, &height);
  if (SUCCEEDED(hr)) hr = frame->GetPixelFormat(&format);
  if (FAILED(hr)) {
    *error = Failure("not a readable PNG file", hr);
    return false;
  }
  if (width == 0 || height == 0 || width > 65535 || height > 65535) {
    *error = "PNG dimensions out of range (1 to 65535 pixels each way)";
    return false;
  }
  image->width = width;
  image->height = height;
  image->colourTable.clear();
  const size_t pixels = static_cast<size_t>(width) * height;
  std::vector<uint8_t> rows;
  uint32_t stride = 0;

  // Greyscale without alpha: read as stored, so no colour conversion can touch it.
  struct Grey {
    const GUID* format;
    uint32_t bits;
  };
  const Grey greys[] = {{&GUID_WICPixelFormatBlackWhite, 1}, {&GUID_WICPixelFormat2bppGray, 2},
                        {&GUID_WICPixelFormat4bppGray, 4}, {&GUID_WICPixelFormat8bppGray, 8},
                        {&GUID_WICPixelFormat16bppGray, 16}};
  for (const Grey& grey : greys) {
    if (!IsEqualGUID(format, *grey.format)) continue;
    if (!CopyRows(frame.get(), width, height, grey.bits, &rows, &stride, error)) return false;
    image->channels = 1;
    image->samples.assign(pixels, 0);
    UnpackGrey(rows, stride, grey.bits, image);
    return true;
  }

  image->channels = 3;
  image->samples.assign(pixels * 3, 0);
  // 16-bit colour: red, green, blue (and alpha) words, rounded here.
  const bool rgb48 = IsEqualGUID(format, GUID_WICPixelFormat48bppRGB);
  if (rgb48 || IsEqualGUID(format, GUID_WICPixelFormat64bppRGBA)) {
    const uint32_t channels = rgb48 ? 3 : 4;
    if (!CopyRows(frame.get(), width, height, channels * 16, &rows, &stride, error)) return false;
    for (uint32_t y = 0; y < height; ++y) {
      const uint8_t* row = &rows[static_cast<size_t>(y) * stride];
      uint8_t* out = &image->samples[static_cast<size_t>(y) * width * 3];
      for (uint32_t x = 0; x < width; ++x) {
        const uint8_t* p = row + static_cast<size_t>(x) * channels * 2;
        uint32_t word[4] = {0, 0, 0, 65535};
        for (uint32_t c = 0; c < channels; ++c) word[c] = p[c * 2] | (p[c * 2 + 1] << 8);
        for (uint32_t c = 0; c < 3; ++c) {
          out[x * 3 + 2 - c] = Round16(OverWhite(word[c], word[3], 65535));
        }
      }
    }
    return true;
  }

  // Everything else (8-bit colour, palettes, grey with alpha) as blue, green,
  // red, alpha: the one conversion WIC does exactly for every such format.
  Com<IWICBitmapSource> converted;
  hr = WICConvertBitmapSource(GUID_WICPixelFormat32bppBGRA, frame.get(), converted.out());
  if (FAILED(hr)) {
    *error = Failure("cannot decode the PNG file: unsupported pixel format", hr);
    return false;
  }
  if (!CopyRows(converted.get(), width, height, 32, &rows, &stride, error)) return false;
  for (uint32_t y = 0; y < height; ++y) {
    const uint8_t* row = &rows[static_cast<size_t>(y) * stride];
    uint8_t* out = &image->samples[static_cast<size_t>(y) * width * 3];
    for (uint32_t x = 0; x < width; ++x) {
      const uint8_t* p = row + static_cast<size_t>(x) * 4;
      for (uint32_t c = 0; c < 3; ++c) {
        out[x * 3 + c] = static_cast<uint8_t>(OverWhite(p[c], p[3], 255));
      }
    }
  }
  return true;
}

bool EncodePng(const Image& image, std::vector<uint8_t>* out, std::string* error) {
  ComThread com;
  Com<IWICImagingFactory> factory;
  if (!CreateFactory(&factory, error)) return false;
  const bool indexed = image.channels == 1 && !image.colourTable.empty();
  const WICPixelFormatGUID wanted = image.channels == 3 ? GUID_WICPixelFormat24bppBGR
                                    : indexed           ? GUID_WICPixelFormat8bppIndexed
                                                        : GUID_WICPixelFormat8bppGray;
  Com<IStream> stream;
  Com<IWICBitmapEncoder> encoder;
  Com<IWICBitmapFrameEncode> frame;
  Com<IWICPalette> palette;
  HRESULT hr = CreateStreamOnHGlobal(nullptr, TRUE, stream.out());
  if (SUCCEEDED(hr)) hr = factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, encoder.out());
  if (SUCCEEDED(hr)) hr = encoder->Initialize(stream.get(), WICBitmapEncoderNoCache);
  if (SUCCEEDED(hr)) hr = encoder->CreateNewFrame(frame.out(), nullptr);
  if (SUCCEEDED(hr)) hr = frame->Initialize(nullptr);
  if (SUCCEEDED(hr)) hr = frame->SetSize(image.width, image.height);
  WICPixelFormatGUID format = wanted;
  if (SUCCEEDED(hr)) hr = frame->SetPixelFormat(&format);
  if (SUCCEEDED(hr) && !IsEqualGUID(format, wanted)) hr = WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT;
  if (SUCCEEDED(hr) && indexed) {
    // The bitmap table is blue, green, red, 0; WIC colours are 0xAARRGGBB.
    WICColor colours[256];
    for (size_t i = 0; i < 256; ++i) {
      const uint8_t* entry = &image.colourTable[i * 4];
      colours[i] = 0xff000000u | (static_cast<uint32_t>(entry[2]) << 16) |
                   (static_cast<uint32_t>(entry[1]) << 8) | entry[0];
    }
    hr = factory->CreatePalette(palette.out());
    if (SUCCEEDED(hr)) hr = palette->InitializeCustom(colours, 256);
    if (SUCCEEDED(hr)) hr = frame->SetPalette(palette.get());
  }
  const UINT stride = image.width * static_cast<UINT>(image.channels);
  if (SUCCEEDED(hr)) {
    hr = frame->WritePixels(image.height, stride, static_cast<UINT>(image.samples.size()),
                            const_cast<BYTE*>(image.samples.data()));
  }
  if (SUCCEEDED(hr)) hr = frame->Commit();
  if (SUCCEEDED(hr)) hr = encoder->Commit();
  HGLOBAL global = nullptr;
  STATSTG stat = {};
  if (SUCCEEDED(hr)) hr = GetHGlobalFromStream(stream.get(), &global);
  if (SUCCEEDED(hr)) hr = stream->Stat(&stat, STATFLAG_NONAME);
  if (FAILED(hr)) {
    *error = Failure("PNG encoding failed", hr);
    return false;
  }
  const auto* data = static_cast<const uint8_t*>(GlobalLock(global));
  if (data == nullptr) {
    *error = "PNG encoding failed: cannot read the encoded block";
    return false;
  }
  out->assign(data, data + stat.cbSize.QuadPart);
  GlobalUnlock(global);
  return true;
}

}  // namespace qrv::host
