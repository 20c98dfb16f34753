// `qrv list` and `qrv extract`: archives through the archive plug-in.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>

#include <nlohmann/json.hpp>

#include "commands.h"
#include "entry_files.h"
#include "file_system.h"
#include "host_block.h"
#include "interrupt.h"
#include "messages.h"
#include "os_path.h"
#include "progress.h"
#include "safe_output.h"

namespace qrv::host {
namespace fs = std::filesystem;

bool OpenArchive(const Context& context, const std::string& path, ArchivePlugin* plugin,
                 Input* input, std::vector<FileInfo>* entries) {
  std::string error;
  if (!LoadArchivePlugin(context.pluginDirectory, plugin, &error)) {
    ReportError(error);
    return false;
  }
  Head head;
  if (!OpenInput(path, input, &head, &error)) {
    ReportError(error);
    return false;
  }
  if (!Accepts(plugin->isSupported, *input, &head)) {
    ReportError(Shown(path) + ": not a Quorvanel Archive");
    return false;
  }
  int32_t rc = ListArchive(*plugin, *input, entries);
  if (rc != RC_OK) {
    ReportError(Shown(path) + ": " + ResultMessage(rc, Doing::kListing));
    return false;
  }
  return true;
}

namespace {

// The plug-in builds "dest\name" in a buffer of this many bytes.
constexpr size_t kPluginPathBuffer = 272;

// GetFile with memory output: the entry's bytes.
int32_t ExtractToMemory(const ArchivePlugin& plugin, const Input& archive, const FileInfo& entry,
                        ProgressSlot* slot, std::vector<uint8_t>* bytes) {
  Source source(archive, entry.position);
  QrvBlock handle = nullptr;
  int32_t rc = plugin.getFile(source.src(), source.len(), reinterpret_cast<char*>(&handle),
                              source.flag() | QRV_OUTPUT_MEMORY, ReportProgress, UserValue(slot));
  if (rc != RC_OK) return rc;
  HostBlock block(handle);
  const uint8_t* data = block.Lock();
  if (data == nullptr || (block.KnownSize() != 0 && block.KnownSize() < entry.size)) {
    return RC_MEMORY_ERROR;
  }
  bytes->assign(data, data + entry.size);
  return RC_OK;
}

// The entry through memory output, written by the host: used where the
// plug-in's own file output cannot be (a path longer than its buffer, a name
// it refuses on every build such as `con`), and after that output failed, to
// learn the system's reason.
bool ExtractThroughMemory(const ArchivePlugin& plugin, const Input& archive, const FileInfo& entry,
                          const std::string& target, ProgressSlot* slot, std::string* error) {
  std::vector<uint8_t> bytes;
  int32_t rc = ExtractToMemory(plugin, archive, entry, slot, &bytes);
  if (rc != RC_OK) {
    *error = Shown(archive.path) + ": " + ResultMessage(rc, Doing::kExtract, Shown(target));
    return false;
  }
  return WriteFileSafely(target, bytes, error);
}

// One entry into `directory`, through the scratch folder `part` there so that
// a failed entry leaves nothing (straight through memory when there is no
// scratch folder). False with `error` set.
bool ExtractOne(const ArchivePlugin& plugin, const Input& archive, const FileInfo& entry,
                const std::string& directory, const PartDirectory& part, ProgressSlot* slot,
                std::string* error) {
  const std::string name = EntryName(entry);
  const std::string target = NameOf(PathOf(directory) / PathOf(name));
  if (!IsSafeEntryName(name)) {
    *error = Shown(archive.path) + ": refusing to write an entry with the unsafe name " +
             Shown(name);
    return false;
  }
  if (std::string why = WhyNameCannotBeAFile(name); !why.empty()) {
    *error = "cannot write " + Shown(target) + ": " + why;
    return false;
  }
  if (part.path().empty() || part.path().size() + 1 + name.size() + 1 > kPluginPathBuffer) {
    return ExtractThroughMemory(plugin, archive, entry, target, slot, error);
  }
  Source source(archive, entry.position);
  std::string dest = part.path();
  int32_t rc = plugin.getFile(source.src(), source.len(), dest.data(), source.flag(),
                              ReportProgress, UserValue(slot));
  const std::string written = NameOf(PathOf(part.path()) / PathOf(name));
  std::error_code ec;
  if (rc == RC_OK && !Interrupted() && fs::is_regular_file(PathOf(written), ec)) {
    return MoveIntoPlace(written, target, error);
  }
  fs::remove(PathOf(written), ec);
  if (Interrupted() || rc == RC_ABORTED) return false;
  if (rc == RC_UNKNOWN_FORMAT || rc == RC_READ_ERROR) {
    *error = Shown(archive.path) + ": " + ResultMessage(rc, Doing::kExtract, Shown(target));
    return false;
  }
  // The plug-in could not write the file and cannot say why: the host tries.
  return ExtractThroughMemory(plugin, archive, entry, target, slot, error);
}

// The entries the command line names, looked up with GetFileInfo; false when
// one is missing (after reporting every missing one).
bool SelectEntries(const Context& context, const ArchivePlugin& plugin, const Input& archive,
                   std::vector<FileInfo>* selected) {
  const uint32_t flag = context.args.Has("ignore-case") ? QRV_IGNORE_CASE : 0;
  bool ok = true;
  std::set<uint32_t> positions;
  for (size_t i = 1; i < context.args.positional.size(); ++i) {
    Source source(archive, 0);
    std::string wanted = context.args.positional[i];
    FileInfo info{};
    int32_t rc = plugin.getFileInfo(source.src(), source.len(), wanted.data(),
                                    source.flag() | flag, &info);
    if (rc != RC_OK) {
      ReportError(Shown(archive.path) + ": " + ResultMessage(rc, Doing::kLookup, Shown(wanted)));
      ok = false;
    } else if (positions.insert(info.position).second) {
      selected->push_back(info);
    }
  }
  return ok;
}

int ExtractToStandardOutput(const ArchivePlugin& plugin, const Input& archive,
                            const FileInfo& entry) {
  std::vector<uint8_t> bytes;
  ProgressSlot slot{nullptr, 0};
  int32_t rc = ExtractToMemory(plugin, archive, entry, &slot, &bytes);
  if (rc != RC_OK) {
    ReportError(Shown(archive.path) + ": " +
                ResultMessage(rc, Doing::kExtract, Shown(EntryName(entry))));
    return kExitFailed;
  }
  errno = 0;
  if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size() ||
      std::fflush(stdout) != 0) {
    ReportError("cannot write to standard output: " + SystemReason(errno != 0 ? errno : EIO));
    std::clearerr(stdout);
    return kExitFailed;
  }
  return kExitOk;
}

// The listing as JSON; bytes of the archive's path that are not UTF-8 become
// U+FFFD, so the text is valid JSON whatever the file system holds.
std::string ListingJson(const std::string& path, const std::vector<FileInfo>& entries) {
  using Json = nlohmann::ordered_json;
  auto dump = [](const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
  };
  std::string out = "{\"archive\": " + dump(path) + ", \"entries\": [";
  for (size_t i = 0; i < entries.size(); ++i) {
    out += i == 0 ? "\n  " : ",\n  ";
    out += "{\"position\": " + std::to_string(entries[i].position) +
           ", \"size\": " + std::to_string(entries[i].size) +
           ", \"name\": " + dump(EntryName(entries[i])) + "}";
  }
  return out + (entries.empty() ? "]}\n" : "\n]}\n");
}

}  // namespace

int RunList(Context& context) {
  if (context.args.positional.size() != 1) {
    ReportError("list takes one archive (see `qrv list --help`)");
    return kExitUsage;
  }
  const std::string& path = context.args.positional[0];
  ArchivePlugin plugin;
  Input input;
  std::vector<FileInfo> entries;
  if (!OpenArchive(context, path, &plugin, &input, &entries)) return kExitFailed;
  if (context.args.Has("json")) {
    std::fputs(ListingJson(path, entries).c_str(), stdout);
    return kExitOk;
  }
  std::printf("%10s %10s  %s\n", "position", "size", "name");
  for (const FileInfo& entry : entries) {
    std::printf("%10u %10u  %s\n", entry.position, entry.size, EntryName(entry).c_str());
  }
  return kExitOk;
}

int RunExtract(Context& context) {
  if (context.args.positional.empty()) {
    ReportError("extract needs an archive (see `qrv extract --help`)");
    return kExitUsage;
  }
  const bool toStdout = context.args.Has("stdout");
  if (toStdout && context.args.Has("directory")) {
    ReportError("--stdout and -C exclude each other");
    return kExitUsage;
  }
  if (toStdout && context.args.positional.size() > 2) {
    ReportError("--stdout writes one entry, and " +
                std::to_string(context.args.positional.size() - 1) + " are named");
    return kExitUsage;
  }
  const std::string archivePath = context.args.positional[0];
  ArchivePlugin plugin;
  Input archive;
  std::vector<FileInfo> entries;
  if (!OpenArchive(context, archivePath, &plugin, &archive, &entries)) return kExitFailed;

  std::vector<FileInfo> selected;
  bool ok = true;
  if (context.args.positional.size() > 1) {
    ok = SelectEntries(context, plugin, archive, &selected);
  } else if (!toStdout) {
    std::vector<RepeatedName> repeats;
    selected = FirstOfEachName(entries, &repeats);
    for (const RepeatedName& repeat : repeats) {
      ReportWarning(RepeatedNameWarning(archivePath, repeat, "written"));
    }
  }
  if (toStdout) {
    if (!ok) return kExitFailed;
    if (selected.size() != 1) {
      ReportError("--stdout writes one entry: name it (the archive holds " +
                  std::to_string(entries.size()) + ")");
      return kExitUsage;
    }
    return ExtractToStandardOutput(plugin, archive, selected[0]);
  }

  const std::string directory = context.args.Value("directory", ".");
  // No entry may land on the archive itself, however the paths are spelled.
  for (const FileInfo& entry : selected) {
    const std::string target = NameOf(PathOf(directory) / PathOf(EntryName(entry)));
    if (SameFile(target, archivePath)) {
      ReportError(Shown(archivePath) + ": the entry " + Shown(EntryName(entry)) +
                  " would replace the archive itself; nothing was written");
      return kExitUsage;
    }
  }
  std::string error;
  if (!MakeDirectories(directory, &error)) {
    ReportError(error);
    return kExitFailed;
  }
  RemoveStaleScratch(directory);
  PartDirectory part;
  // Without a scratch folder (a path at the system's limit) the entries go
  // through memory straight to their files.
  if (!part.Create(directory, &error) && !part.pathTooLong()) {
    ReportError(error);
    return kExitFailed;
  }
  ProgressBar bar(context.showProgress, "extracting", selected.size());
  for (size_t i = 0; i < selected.size() && !Interrupted(); ++i) {
    ProgressSlot slot{&bar, i};
    if (ExtractOne(plugin, archive, selected[i], directory, part, &slot, &error)) {
      bar.Finish(i);
      ReportDone(context, NameOf(PathOf(directory) / PathOf(EntryName(selected[i]))));
    } else if (!Interrupted()) {
      bar.Clear();
      ReportError(error);
      ok = false;
    }
  }
  bar.Clear();
  return ok ? kExitOk : kExitFailed;
}

}  // namespace qrv::host
