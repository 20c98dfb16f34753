// The console shows qrv's output as UTF-8 (its code page under its manifest)
// while qrv runs, and gets its own code page back when qrv ends.
#include <windows.h>

namespace qrv::host {
namespace {

class Utf8Console {
 public:
  Utf8Console() : previous_(GetConsoleOutputCP()) {
    if (previous_ != 0 && previous_ != CP_UTF8) SetConsoleOutputCP(CP_UTF8);
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
