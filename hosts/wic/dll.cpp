// The COM in-process server's exports: the class factory for the decoder and
// the thumbnail provider, unloading, and registration. DllInstall registers
// another copy of the codec in the 32-bit registry view (the 64-bit installer
// uses it for the 32-bit DLL, which no 64-bit process can load):
//   regsvr32 /n /i:"C:\path\x86\quorvanel-wic.dll" quorvanel-wic.dll
//   regsvr32 /u /n /i:"C:\path\x86\quorvanel-wic.dll" quorvanel-wic.dll
#include <new>

#include <windows.h>

#include <olectl.h>

#include "com_support.h"
#include "guids.h"
#include "registration.h"

namespace qrv::wic {
namespace {

using CreateFunction = HRESULT (*)(REFIID, void**);

class ClassFactory final : public IClassFactory, CountedObject {
 public:
  explicit ClassFactory(CreateFunction create) : create_(create) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IClassFactory) {
      *object = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return AddReference(); }
  ULONG STDMETHODCALLTYPE Release() override { return DropReference(); }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    return create_(iid, object);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    ServerLocked(lock != FALSE);
    return S_OK;
  }

 private:
  CreateFunction create_;
};

// The DLL's own file name, for the registry.
bool ModulePath(wchar_t* path, DWORD size) {
  const DWORD n = GetModuleFileNameW(ThisModule(), path, size);
  return n > 0 && n < size;
}

}  // namespace
}  // namespace qrv::wic

using namespace qrv::wic;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    SetThisModule(instance);
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  CreateFunction create = nullptr;
  if (clsid == kDecoderClass) create = CreateDecoder;
  if (clsid == kThumbnailClass) create = CreateThumbnailProvider;
  if (create == nullptr) return CLASS_E_CLASSNOTAVAILABLE;
  ClassFactory* factory = new (std::nothrow) ClassFactory(create);
  if (factory == nullptr) return E_OUTOFMEMORY;
  const HRESULT hr = factory->QueryInterface(iid, object);
  factory->Release();
  return hr;
}

STDAPI DllCanUnloadNow() { return ServerInUse() ? S_FALSE : S_OK; }

STDAPI DllRegisterServer() {
  wchar_t path[MAX_PATH];
  if (!ModulePath(path, MAX_PATH)) return SELFREG_E_CLASS;
  return Register(View::kOwn, path);
}

STDAPI DllUnregisterServer() { return Unregister(View::kOwn); }

// `line`: the full path of the codec DLL to register in the 32-bit view.
STDAPI DllInstall(BOOL install, LPCWSTR line) {
  if (!install) return Unregister(View::k32);
  if (line == nullptr || line[0] == L'\0') return E_INVALIDARG;
  const DWORD attributes = GetFileAttributesW(line);
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
  }
  return Register(View::k32, line);
}
