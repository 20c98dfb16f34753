#include "com_support.h"

#include <wincodec.h>

namespace qrv::wic {
namespace {

LONG g_objects = 0;
LONG g_locks = 0;
HMODULE g_module = nullptr;

}  // namespace

void ObjectCreated() { InterlockedIncrement(&g_objects); }
void ObjectDestroyed() { InterlockedDecrement(&g_objects); }

void ServerLocked(bool lock) {
  if (lock) {
    InterlockedIncrement(&g_locks);
  } else {
    InterlockedDecrement(&g_locks);
  }
}

bool ServerInUse() {
  return InterlockedCompareExchange(&g_objects, 0, 0) != 0 ||
         InterlockedCompareExchange(&g_locks, 0, 0) != 0;
}

HMODULE ThisModule() { return g_module; }
void SetThisModule(HMODULE module) { g_module = module; }

HRESULT ToHresult(Status status) {
  switch (status) {
    case Status::kOk: return S_OK;
    case Status::kBadHeader: return WINCODEC_ERR_BADHEADER;
    case Status::kBadImage: return WINCODEC_ERR_BADIMAGE;
    case Status::kStreamRead: return WINCODEC_ERR_STREAMREAD;
    case Status::kTooLarge: return WINCODEC_ERR_IMAGESIZEOUTOFRANGE;
    case Status::kNoMemory: return E_OUTOFMEMORY;
    case Status::kInvalidArgument: return E_INVALIDARG;
    case Status::kBufferTooSmall: return WINCODEC_ERR_INSUFFICIENTBUFFER;
  }
  return E_FAIL;
}

HRESULT Tell(IStream* stream, ULARGE_INTEGER* position) {
  LARGE_INTEGER none = {};
  return stream->Seek(none, STREAM_SEEK_CUR, position);
}

HRESULT SeekTo(IStream* stream, ULARGE_INTEGER position) {
  LARGE_INTEGER to;
  to.QuadPart = static_cast<LONGLONG>(position.QuadPart);
  return stream->Seek(to, STREAM_SEEK_SET, nullptr);
}

bool StreamSource::Read(uint8_t* into, uint32_t count, uint32_t* got) {
  ULONG n = 0;
  const HRESULT hr = stream_->Read(into, count, &n);
  *got = n;
  // S_FALSE with fewer bytes is the end; only a failure code is a failure.
  return SUCCEEDED(hr) && n <= count;
}

}  // namespace qrv::wic
