// `qrv mount`: an archive as a read-only folder, served by the FUSE adapter in
// hosts/fuse. The archive is refused or listed exactly as `qrv list` does it,
// and its entries become files exactly as `qrv extract` names them.
#include "commands.h"
#include "entry_files.h"
#include "file_system.h"
#include "interrupt.h"
#include "messages.h"
#include "mount.h"

namespace qrv::host {

int RunMount(Context& context) {
  if (context.args.positional.size() != 2) {
    ReportError("mount takes an archive and a directory (see `qrv mount --help`)");
    return kExitUsage;
  }
  const std::string& path = context.args.positional[0];
  std::string reason;
  // The mount reads the archive for as long as it stands; a stream cannot be
  // read again.
  if (KindOfInput(path, &reason) == InputKind::kStream) {
    ReportError(Shown(path) + ": only an archive file can be mounted, not standard input, a "
                              "pipe or a device");
    return kExitUsage;
  }
  ArchivePlugin plugin;
  Input input;
  std::vector<FileInfo> entries;
  if (!OpenArchive(context, path, &plugin, &input, &entries)) return kExitFailed;

  hosts::MountRequest request;
  request.archive = path;
  request.directory = context.args.positional[1];
  request.foreground = context.args.Has("foreground");
  std::vector<RepeatedName> repeats;
  for (const FileInfo& entry : FirstOfEachName(entries, &repeats)) {
    const std::string name = EntryName(entry);
    if (!IsSafeEntryName(name)) {
      ReportWarning(Shown(path) + ": the entry at " + std::to_string(entry.position) +
                    " has the unsafe name " + Shown(name) + "; it is not shown");
      continue;
    }
    request.entries.push_back({name, entry.position, entry.size});
  }
  for (const RepeatedName& repeat : repeats) {
    ReportWarning(RepeatedNameWarning(path, repeat, "shown"));
  }
  if (Interrupted()) return kExitFailed;
  std::string error;
  if (!hosts::MountArchive(request, &error)) {
    ReportError(error);
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace qrv::host
