// `qrv mount`: an archive as a read-only folder, one regular file per entry.
// The command lists the archive through the archive plug-in and chooses the
// entries and their names exactly as `qrv extract` does; this adapter serves
// them. On Linux with libfuse 3 it is a FUSE file system whose entry headers
// are read by the extractor's own ReadEntryHeader; every other build has a
// stand-in that says there is no mount.
#ifndef QRV_HOSTS_FUSE_MOUNT_H
#define QRV_HOSTS_FUSE_MOUNT_H

#include <cstdint>
#include <string>
#include <vector>

namespace qrv::hosts {

// One file of the mount: an entry as the listing gives it.
struct MountEntry {
  std::string name;   // the file's name: the listed name (longer ones cut to 199)
  uint32_t position;  // of the entry's header, from the archive's first byte
  uint32_t size;      // of the entry's data
};

struct MountRequest {
  std::string archive;    // a regular file, as the user named it
  std::string directory;  // where to mount, as the user named it
  std::vector<MountEntry> entries;
  bool foreground = false;  // else the mount goes on in a background process
};

// Checks that the archive still holds the listed entries, mounts it and serves
// it until it is unmounted (fusermount3 -u, or SIGINT, SIGTERM or SIGHUP to the
// serving process). Without `foreground` a background process serves it and
// the calling process exits with status 0 as soon as the mount works. True
// when the mount ended cleanly; false with `error` set when it could not be
// made or failed, or when this build has no mount.
bool MountArchive(const MountRequest& request, std::string* error);

}  // namespace qrv::hosts

#endif  // QRV_HOSTS_FUSE_MOUNT_H
