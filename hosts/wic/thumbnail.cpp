// The Explorer thumbnail provider: Explorer hands over the file as a stream
// (IInitializeWithStream) and asks for a bitmap whose longer side is at most
// cx (IThumbnailProvider). The picture is read, decoded and scaled by
// wic_picture.cpp; this class only wraps the result in a top-down 32-bit DIB
// section.
#include <windows.h>

#include <propsys.h>
#include <thumbcache.h>

#include "com_support.h"

namespace qrv::wic {
namespace {

class ThumbnailProvider final : public IInitializeWithStream, public IThumbnailProvider,
                                CountedObject {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == __uuidof(IInitializeWithStream)) {
      *object = static_cast<IInitializeWithStream*>(this);
    } else if (iid == __uuidof(IThumbnailProvider)) {
      *object = static_cast<IThumbnailProvider*>(this);
    } else {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return AddReference(); }
  ULONG STDMETHODCALLTYPE Release() override { return DropReference(); }

  HRESULT STDMETHODCALLTYPE Initialize(IStream* stream, DWORD) override {
    if (stream == nullptr) return E_INVALIDARG;
    if (stream_ != nullptr) return HRESULT_FROM_WIN32(ERROR_ALREADY_INITIALIZED);
    // The picture starts where the stream stands now.
    if (FAILED(Tell(stream, &start_))) return WINCODEC_ERR_STREAMREAD;
    stream->AddRef();
    stream_ = stream;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetThumbnail(UINT cx, HBITMAP* bitmap, WTS_ALPHATYPE* alpha) override;

 private:
  ~ThumbnailProvider() override {
    if (stream_ != nullptr) stream_->Release();
  }

  IStream* stream_ = nullptr;
  ULARGE_INTEGER start_ = {};
};

HRESULT ThumbnailProvider::GetThumbnail(UINT cx, HBITMAP* bitmap, WTS_ALPHATYPE* alpha) {
  if (bitmap == nullptr || alpha == nullptr) return E_POINTER;
  *bitmap = nullptr;
  if (stream_ == nullptr) return E_UNEXPECTED;
  if (cx == 0) return E_INVALIDARG;
  Buffer bytes;
  Header header;
  Picture picture;
  Thumbnail thumbnail;
  StreamSource source(stream_);
  if (FAILED(SeekTo(stream_, start_))) return WINCODEC_ERR_STREAMREAD;
  Status status = ReadPicture(source, kMaxPixels, &bytes, &header);
  if (status == Status::kOk) status = picture.Decode(bytes.data(), bytes.size());
  if (status == Status::kOk) status = MakeThumbnail(picture, cx, &thumbnail);
  if (status != Status::kOk) return ToHresult(status);

  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = static_cast<LONG>(thumbnail.width);
  info.bmiHeader.biHeight = -static_cast<LONG>(thumbnail.height);  // top-down
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP made = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (made == nullptr || bits == nullptr) {
    if (made != nullptr) DeleteObject(made);
    return E_OUTOFMEMORY;
  }
  // 32-bit rows need no padding: the thumbnail's rows are the section's.
  memcpy(bits, thumbnail.pixels.data(), thumbnail.pixels.size());
  *bitmap = made;
  *alpha = WTSAT_RGB;
  return S_OK;
}

}  // namespace

HRESULT CreateThumbnailProvider(REFIID iid, void** object) {
  return CreateObject<ThumbnailProvider>(iid, object);
}

}  // namespace qrv::wic
