// The DLL entry point of both plug-ins: loading and unloading do no work of
// their own, so every reason answers success.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
