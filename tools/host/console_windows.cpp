// The console shows qrv's output as UTF-8 (its code page under its manifest)
// while qrv runs, and gets its own code page back when qrv ends. Output to a
// console goes out in whole buffers of untranslated bytes: written a byte at a
// time (unbuffered) or through the C runtime's text mode, a character of
// several bytes is shown as garbage.
#include <windows.h>

#include <cstdio>
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

}  // namespace
}  // namespace qrv::host
