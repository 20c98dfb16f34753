// The Windows Imaging Component decoder: one frame, 8-bit pictures as
// 8bppIndexed with the filter's colour table, 24-bit ones as 24bppBGR. Only
// adapts: the stream is read into memory and decoded by wic_picture.cpp,
// once, when the first pixels or colours are asked for; the frame then serves
// every later call from that bitmap.
#include <windows.h>

#include <wincodec.h>

#include "com_support.h"
#include "guids.h"

namespace qrv::wic {
namespace {

// What the pictures do not carry, for the decoder and its frame alike: no
// metadata, no colour profile, no stored thumbnail.
HRESULT NoMetadata(IWICMetadataQueryReader** reader) {
  if (reader != nullptr) *reader = nullptr;
  return WINCODEC_ERR_UNSUPPORTEDOPERATION;
}

HRESULT NoColourContexts(UINT* count) {
  if (count == nullptr) return E_INVALIDARG;
  *count = 0;
  return S_OK;
}

HRESULT NoThumbnail(IWICBitmapSource** thumbnail) {
  if (thumbnail != nullptr) *thumbnail = nullptr;
  return WINCODEC_ERR_CODECNOTHUMBNAIL;
}

class Decoder final : public IWICBitmapDecoder, CountedObject {
 public:
  Decoder() { InitializeSRWLock(&lock_); }

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IWICBitmapDecoder) {
      *object = static_cast<IWICBitmapDecoder*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return AddReference(); }
  ULONG STDMETHODCALLTYPE Release() override { return DropReference(); }

  // IWICBitmapDecoder
  HRESULT STDMETHODCALLTYPE QueryCapability(IStream* stream, DWORD* capability) override;
  HRESULT STDMETHODCALLTYPE Initialize(IStream* stream, WICDecodeOptions) override;
  HRESULT STDMETHODCALLTYPE GetContainerFormat(GUID* format) override {
    if (format == nullptr) return E_INVALIDARG;
    *format = kContainerFormat;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetDecoderInfo(IWICBitmapDecoderInfo** info) override;
  HRESULT STDMETHODCALLTYPE CopyPalette(IWICPalette*) override {
    return WINCODEC_ERR_PALETTEUNAVAILABLE;  // the colours belong to the frame
  }
  HRESULT STDMETHODCALLTYPE GetMetadataQueryReader(IWICMetadataQueryReader** reader) override {
    return NoMetadata(reader);
  }
  HRESULT STDMETHODCALLTYPE GetPreview(IWICBitmapSource** preview) override {
    if (preview != nullptr) *preview = nullptr;
    return WINCODEC_ERR_UNSUPPORTEDOPERATION;
  }
  HRESULT STDMETHODCALLTYPE GetColorContexts(UINT, IWICColorContext**, UINT* count) override {
    return NoColourContexts(count);
  }
  HRESULT STDMETHODCALLTYPE GetThumbnail(IWICBitmapSource** thumbnail) override {
    return NoThumbnail(thumbnail);
  }
  HRESULT STDMETHODCALLTYPE GetFrameCount(UINT* count) override {
    if (count == nullptr) return E_INVALIDARG;
    if (!Initialized()) return WINCODEC_ERR_NOTINITIALIZED;
    *count = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetFrame(UINT index, IWICBitmapFrameDecode** frame) override;

  // For the frame.
  const Header& header() const { return header_; }
  // The decoded picture, decoding it on the first call; the same result on
  // every later one.
  HRESULT Decoded(const Picture** picture);

 private:
  ~Decoder() override {
    if (stream_ != nullptr) stream_->Release();
  }
  bool Initialized() {
    AcquireSRWLockShared(&lock_);
    const bool initialized = initialized_;
    ReleaseSRWLockShared(&lock_);
    return initialized;
  }

  SRWLOCK lock_;
  bool initialized_ = false;
  IStream* stream_ = nullptr;  // held from Initialize until the picture is decoded
  ULARGE_INTEGER start_ = {};  // where the picture starts in stream_
  Header header_ = {};
  bool decodeTried_ = false;
  HRESULT decodeResult_ = E_FAIL;
  Picture picture_;
};

class Frame final : public IWICBitmapFrameDecode, CountedObject {
 public:
  // Holds a reference to its decoder, which holds the pixels.
  explicit Frame(Decoder* decoder) : decoder_(decoder) { decoder_->AddRef(); }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IWICBitmapSource || iid == IID_IWICBitmapFrameDecode) {
      *object = static_cast<IWICBitmapFrameDecode*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return AddReference(); }
  ULONG STDMETHODCALLTYPE Release() override { return DropReference(); }

  // IWICBitmapSource
  HRESULT STDMETHODCALLTYPE GetSize(UINT* width, UINT* height) override {
    if (width == nullptr || height == nullptr) return E_INVALIDARG;
    *width = decoder_->header().width;
    *height = decoder_->header().height;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetPixelFormat(WICPixelFormatGUID* format) override {
    if (format == nullptr) return E_INVALIDARG;
    *format = decoder_->header().bitsPerPixel == 8 ? GUID_WICPixelFormat8bppIndexed
                                                   : GUID_WICPixelFormat24bppBGR;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetResolution(double* dpiX, double* dpiY) override {
    if (dpiX == nullptr || dpiY == nullptr) return E_INVALIDARG;
    // The pictures carry no density; 96 is what Windows assumes for a screen.
    *dpiX = *dpiY = 96.0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE CopyPalette(IWICPalette* palette) override {
    if (palette == nullptr) return E_INVALIDARG;
    if (decoder_->header().bitsPerPixel != 8) return WINCODEC_ERR_PALETTEUNAVAILABLE;
    const Picture* picture = nullptr;
    HRESULT hr = decoder_->Decoded(&picture);
    if (FAILED(hr)) return hr;
    WICColor colours[256];
    static_assert(sizeof(WICColor) == sizeof(uint32_t));
    picture->Palette(reinterpret_cast<uint32_t*>(colours));
    return palette->InitializeCustom(colours, 256);
  }
  HRESULT STDMETHODCALLTYPE CopyPixels(const WICRect* rect, UINT stride, UINT bufferSize,
                                       BYTE* buffer) override {
    const Picture* picture = nullptr;
    HRESULT hr = decoder_->Decoded(&picture);
    if (FAILED(hr)) return hr;
    static_assert(sizeof(WICRect) == sizeof(Rect));
    return ToHresult(
        picture->CopyRect(reinterpret_cast<const Rect*>(rect), stride, bufferSize, buffer));
  }

  // IWICBitmapFrameDecode
  HRESULT STDMETHODCALLTYPE GetMetadataQueryReader(IWICMetadataQueryReader** reader) override {
    return NoMetadata(reader);
  }
  HRESULT STDMETHODCALLTYPE GetColorContexts(UINT, IWICColorContext**, UINT* count) override {
    return NoColourContexts(count);
  }
  HRESULT STDMETHODCALLTYPE GetThumbnail(IWICBitmapSource** thumbnail) override {
    return NoThumbnail(thumbnail);
  }

 private:
  ~Frame() override { decoder_->Release(); }

  Decoder* decoder_;
};

// The header where the stream stands, read and checked.
HRESULT ReadHeader(IStream* stream, Header* header) {
  uint8_t head[12];
  uint32_t got = 0;
  ULONG n = 0;
  while (got < sizeof head) {
    HRESULT hr = stream->Read(head + got, static_cast<ULONG>(sizeof head - got), &n);
    if (FAILED(hr)) return WINCODEC_ERR_STREAMREAD;
    if (n == 0) break;
    got += n;
  }
  return ToHresult(CheckHeader(head, got, kMaxPixels, header));
}

// Where the picture starts and its header. A caller hands over a stream that
// stands at the picture. The factory, though, matches the registered pattern
// at the stream's first byte and may leave the stream where the match stopped:
// when no header is where the stream stands, one at the first byte is taken.
HRESULT FindHeader(IStream* stream, ULARGE_INTEGER* start, Header* header) {
  if (FAILED(Tell(stream, start))) return WINCODEC_ERR_STREAMREAD;
  HRESULT hr = ReadHeader(stream, header);
  if (hr != WINCODEC_ERR_BADHEADER || start->QuadPart == 0) return hr;
  if (FAILED(SeekTo(stream, {}))) return WINCODEC_ERR_STREAMREAD;
  const HRESULT first = ReadHeader(stream, header);
  if (first == WINCODEC_ERR_BADHEADER) return hr;
  *start = {};
  return first;
}

HRESULT Decoder::QueryCapability(IStream* stream, DWORD* capability) {
  if (stream == nullptr || capability == nullptr) return E_INVALIDARG;
  *capability = 0;
  // The stream is left where it was found.
  ULARGE_INTEGER at = {};
  if (FAILED(Tell(stream, &at))) return WINCODEC_ERR_STREAMREAD;
  ULARGE_INTEGER start = {};
  Header header;
  const HRESULT hr = FindHeader(stream, &start, &header);
  if (FAILED(SeekTo(stream, at))) return WINCODEC_ERR_STREAMREAD;
  // One frame, always whole. A picture over the pixel limit is still ours:
  // Initialize then refuses it with the reason.
  if (SUCCEEDED(hr) || hr == WINCODEC_ERR_IMAGESIZEOUTOFRANGE) {
    *capability = WICBitmapDecoderCapabilityCanDecodeAllImages;
  }
  return hr == WINCODEC_ERR_STREAMREAD ? hr : S_OK;
}

HRESULT Decoder::Initialize(IStream* stream, WICDecodeOptions) {
  if (stream == nullptr) return E_INVALIDARG;
  AcquireSRWLockExclusive(&lock_);
  HRESULT hr = initialized_ ? WINCODEC_ERR_WRONGSTATE : S_OK;
  // The decode comes back to where the picture starts.
  if (SUCCEEDED(hr)) hr = FindHeader(stream, &start_, &header_);
  if (SUCCEEDED(hr)) {
    stream->AddRef();
    stream_ = stream;
    initialized_ = true;
  }
  ReleaseSRWLockExclusive(&lock_);
  return hr;
}

HRESULT Decoder::GetDecoderInfo(IWICBitmapDecoderInfo** info) {
  if (info == nullptr) return E_INVALIDARG;
  *info = nullptr;
  IWICImagingFactory* factory = nullptr;
  HRESULT hr = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IWICImagingFactory, reinterpret_cast<void**>(&factory));
  IWICComponentInfo* component = nullptr;
  if (SUCCEEDED(hr)) hr = factory->CreateComponentInfo(kDecoderClass, &component);
  if (SUCCEEDED(hr)) {
    hr = component->QueryInterface(IID_IWICBitmapDecoderInfo, reinterpret_cast<void**>(info));
  }
  if (component != nullptr) component->Release();
  if (factory != nullptr) factory->Release();
  return hr;
}

HRESULT Decoder::GetFrame(UINT index, IWICBitmapFrameDecode** frame) {
  if (frame == nullptr) return E_INVALIDARG;
  *frame = nullptr;
  if (!Initialized()) return WINCODEC_ERR_NOTINITIALIZED;
  if (index != 0) return WINCODEC_ERR_FRAMEMISSING;
  Frame* made = new (std::nothrow) Frame(this);
  if (made == nullptr) return E_OUTOFMEMORY;
  *frame = made;
  return S_OK;
}

HRESULT Decoder::Decoded(const Picture** picture) {
  AcquireSRWLockExclusive(&lock_);
  if (!decodeTried_) {
    decodeTried_ = true;
    Buffer bytes;
    Header header = {};
    StreamSource source(stream_);
    decodeResult_ = SeekTo(stream_, start_);
    if (FAILED(decodeResult_)) {
      decodeResult_ = WINCODEC_ERR_STREAMREAD;
    } else {
      decodeResult_ = ToHresult(ReadPicture(source, kMaxPixels, &bytes, &header));
    }
    // The stream may have changed under us since Initialize.
    if (SUCCEEDED(decodeResult_) &&
        (header.width != header_.width || header.height != header_.height ||
         header.bitsPerPixel != header_.bitsPerPixel)) {
      decodeResult_ = WINCODEC_ERR_BADHEADER;
    }
    if (SUCCEEDED(decodeResult_)) decodeResult_ = ToHresult(picture_.Decode(bytes.data(), bytes.size()));
    // The bytes are read: the stream (and its file) is let go.
    stream_->Release();
    stream_ = nullptr;
  }
  const HRESULT hr = decodeResult_;
  ReleaseSRWLockExclusive(&lock_);
  if (SUCCEEDED(hr)) *picture = &picture_;
  return hr;
}

}  // namespace

HRESULT CreateDecoder(REFIID iid, void** object) { return CreateObject<Decoder>(iid, object); }

}  // namespace qrv::wic
