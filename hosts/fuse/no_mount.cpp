// `qrv mount` where the build has no FUSE file system: Windows, and Linux
// builds made without libfuse 3.
#include "mount.h"

namespace qrv::hosts {

bool MountArchive(const MountRequest&, std::string* error) {
  *error = "this build of qrv cannot mount archives (it needs Linux and libfuse 3)";
  return false;
}

}  // namespace qrv::hosts
