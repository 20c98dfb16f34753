// What the COM classes of the codec DLL share: the count of live objects and
// server locks that DllCanUnloadNow answers from, the translation of a
// picture status into the Windows Imaging Component's error codes, and an
// IStream read as a ByteSource.
#ifndef QRV_HOSTS_WIC_COM_SUPPORT_H
#define QRV_HOSTS_WIC_COM_SUPPORT_H

#include <new>

#include <windows.h>

#include <objidl.h>

#include "wic_picture.h"

namespace qrv::wic {

// Every object the DLL hands out (class factories included) and every
// LockServer(TRUE) holds the DLL in memory; it may unload when both are 0.
void ObjectCreated();
void ObjectDestroyed();
void ServerLocked(bool lock);
bool ServerInUse();

// This DLL's module handle, from DllMain.
HMODULE ThisModule();
void SetThisModule(HMODULE module);

HRESULT ToHresult(Status status);

// Where a stream stands, and a seek back there. A picture starts where the
// stream stood when it was handed over, which need not be its first byte.
HRESULT Tell(IStream* stream, ULARGE_INTEGER* position);
HRESULT SeekTo(IStream* stream, ULARGE_INTEGER position);

// Reads an IStream from where it stands; a failed Read is a failed source.
class StreamSource final : public ByteSource {
 public:
  explicit StreamSource(IStream* stream) : stream_(stream) {}
  bool Read(uint8_t* into, uint32_t count, uint32_t* got) override;

 private:
  IStream* stream_;
};

// The object counting every COM class of the DLL does: created with one
// reference, destroyed with the last.
class CountedObject {
 protected:
  CountedObject() { ObjectCreated(); }
  virtual ~CountedObject() { ObjectDestroyed(); }
  ULONG AddReference() { return static_cast<ULONG>(InterlockedIncrement(&references_)); }
  ULONG DropReference() {
    const LONG left = InterlockedDecrement(&references_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }

 private:
  LONG references_ = 1;
};

// A new T asked for `iid`: the one reference the caller gets, or none.
template <typename T>
HRESULT CreateObject(REFIID iid, void** object) {
  T* made = new (std::nothrow) T;
  if (made == nullptr) return E_OUTOFMEMORY;
  const HRESULT hr = made->QueryInterface(iid, object);
  made->Release();
  return hr;
}

// The two classes the DLL serves, each created with one reference to `iid`.
HRESULT CreateDecoder(REFIID iid, void** object);
HRESULT CreateThumbnailProvider(REFIID iid, void** object);

}  // namespace qrv::wic

#endif  // QRV_HOSTS_WIC_COM_SUPPORT_H
