// Process-wide settings of qrv.exe, made before main. The console shows qrv's
// output as UTF-8 (its code page under its manifest) while qrv runs, and gets
// its own code page back when qrv ends. Output to a console goes out in whole
// buffers of untranslated bytes: written a byte at a time (unbuffered) or
// through the C runtime's text mode, a character of several bytes is shown as
// garbage.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <initializer_list>
#include <io.h>

namespace qrv::host {
namespace {

bool IsConsole(std::FILE* stream) {
  DWORD mode = 0;
  auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}

class Utf8Console {
 public:
  Utf8Console() : previous_(GetConsoleOutputCP()) {
    if (previous_ != 0 && previous_ != CP_UTF8) SetConsoleOutputCP(CP_UTF8);
    for (std::FILE* stream : {stdout, stderr}) {
      if (!IsConsole(stream)) continue;
      _setmode(_fileno(stream), _O_BINARY);
      // Every message and progress line is flushed as a whole.
      std::setvbuf(stream, nullptr, _IOFBF, 1 << 14);
    }
  }
  ~Utf8Console() {
    if (previous_ != 0 && previous_ != CP_UTF8) SetConsoleOutputCP(previous_);
  }
  Utf8Console(const Utf8Console&) = delete;
  Utf8Console& operator=(const Utf8Console&) = delete;

 private:
  UINT previous_;
};

const Utf8Console gConsole;

// Windows before version 10 1903 ignores the manifest's code page: a name
// that the system's code page cannot spell would reach qrv with its letters
// replaced by '?'. Say so rather than fail on a file that is not there.
class NamesCheck {
 public:
  NamesCheck() {
    if (GetACP() == CP_UTF8) return;
    const wchar_t* line = GetCommandLineW();
    BOOL lossy = FALSE;
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, line, -1, nullptr, 0, nullptr, &lossy);
    if (!lossy) return;
    std::fprintf(stderr,
                 "qrv: the command line holds characters outside code page %u, and this Windows "
                 "gives programs no UTF-8 names (Windows 10 version 1903 or later does)\n",
                 GetACP());
    std::fflush(stderr);
    std::exit(2);
  }
};

const NamesCheck gNamesCheck;

}  // namespace
}  // namespace qrv::host
