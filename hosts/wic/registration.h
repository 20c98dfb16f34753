// Registration of the codec and the thumbnail provider, the Windows way: one
// table of keys and values below HKLM\Software\Classes, written by
// DllRegisterServer and removed by DllUnregisterServer (and by DllInstall for
// the 32-bit registry view, which is how the 64-bit installer registers the
// 32-bit DLL without running 32-bit code).
#ifndef QRV_HOSTS_WIC_REGISTRATION_H
#define QRV_HOSTS_WIC_REGISTRATION_H

#include <windows.h>

namespace qrv::wic {

// kOwn: the caller's own registry view; k32: the 32-bit view (from a 64-bit
// process, the one 32-bit programs read).
enum class View { kOwn, k32 };

// Writes every key and value of the table for the DLL at `modulePath`. Keys
// that belong to the codec are written whole; values in keys that other
// programs may own (the .qcg extension) are added only where absent, and the
// ones added are recorded so that Unregister takes away exactly those.
HRESULT Register(View view, const wchar_t* modulePath);

// Removes the codec's own keys, the values Register recorded as added (when
// they still hold what it wrote) and the keys it created that are left empty.
// Succeeds when nothing is registered.
HRESULT Unregister(View view);

}  // namespace qrv::wic

#endif  // QRV_HOSTS_WIC_REGISTRATION_H
