// `qrv list` and `qrv extract`: archives through the archive plug-in.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>

#include <nlohmann/json.hpp>

#include "archive_entries.h"
#include "commands.h"
#include "entry_files.h"
#include "file_system.h"
#include "host_block.h"
#include "interrupt.h"
#include "manifest.h"
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

// An entry to write: its record, its whole name (the record's may be cut) and
// the name of its file.
struct Planned {
  FileInfo info;
  std::string name;
  std::string file;
};

// One entry into `directory`, through the scratch folder `part` there so that
// a failed entry leaves nothing (straight through memory when there is no
// scratch folder). False with `error` set.
bool ExtractOne(const ArchivePlugin& plugin, const Input& archive, const Planned& planned,
                const std::string& directory, const PartDirectory& part, ProgressSlot* slot,
                std::string* error) {
  const FileInfo& entry = planned.info;
  const std::string& name = planned.name;
  const std::string target = NameOf(PathOf(directory) / PathOf(planned.file));
  if (!IsSafeEntryName(name)) {
    *error = Shown(archive.path) + ": refusing to write an entry with the unsafe name " +
             Shown(name);
    return false;
  }
  if (std::string why = WhyNameCannotBeAFile(planned.file); !why.empty()) {
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

// CRC-32 of a whole file, read piece by piece. False with `error` set.
bool FileCrc32(const std::string& path, uint32_t* crc, std::string* error) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    *error = Shown(path) + ": cannot read it back: " + SystemReason(errno);
    return false;
  }
  std::vector<uint8_t> piece(1 << 16);
  *crc = 0;
  size_t got = 0;
  while ((got = std::fread(piece.data(), 1, piece.size(), file)) > 0) {
    *crc = UpdateCrc32(*crc, piece.data(), got);
  }
  const bool ok = std::ferror(file) == 0;
  if (!ok) *error = Shown(path) + ": cannot read it back: " + SystemReason(errno);
  std::fclose(file);
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
  const bool withManifest = context.args.Has("manifest");
  if (withManifest && (toStdout || context.args.positional.size() > 1)) {
    ReportError(toStdout ? "--manifest and --stdout exclude each other"
                         : "--manifest writes every entry, so it takes no NAME");
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
  } else if (!toStdout && !withManifest) {
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

  std::vector<Planned> planned;
  std::vector<StoredEntry> stored;
  std::string error;
  if (withManifest) {
    // Every entry, with its whole name and second word from its own header.
    ArchiveBytes bytes;
    uint64_t endMarkAt = 0;
    if (!bytes.Open(archive, &error) ||
        !ReadStoredEntries(bytes, entries, &stored, &endMarkAt, &error)) {
      ReportError(error);
      return kExitFailed;
    }
    uint8_t end[4] = {1};
    if (bytes.size() - endMarkAt != sizeof end || !bytes.Read(endMarkAt, end, sizeof end, &error) ||
        end[0] + end[1] + end[2] + end[3] != 0) {
      ReportWarning(Shown(archivePath) + ": the " + std::to_string(bytes.size() - endMarkAt) +
                    " bytes after the last entry are not the 4-byte end mark; an archive "
                    "packed from the manifest ends with the end mark alone");
    }
    std::vector<std::string> names;
    for (const StoredEntry& entry : stored) names.push_back(entry.name);
    const std::vector<std::string> files =
        ManifestFileNames(names, LongestFileNameIn(context.args.Value("directory", ".")));
    for (size_t i = 0; i < entries.size(); ++i) planned.push_back({entries[i], stored[i].name, files[i]});
  } else {
    for (const FileInfo& entry : selected) planned.push_back({entry, EntryName(entry), EntryName(entry)});
  }

  const std::string directory = context.args.Value("directory", ".");
  const std::string manifestPath = NameOf(PathOf(directory) / PathOf(kManifestName));
  // No entry may land on the archive itself, however the paths are spelled.
  for (const Planned& entry : planned) {
    const std::string target = NameOf(PathOf(directory) / PathOf(entry.file));
    if (SameFile(target, archivePath)) {
      ReportError(Shown(archivePath) + ": the entry " + Shown(entry.name) +
                  " would replace the archive itself; nothing was written");
      return kExitUsage;
    }
  }
  if (withManifest && SameFile(manifestPath, archivePath)) {
    ReportError(Shown(archivePath) + ": the manifest " + Shown(manifestPath) +
                " would replace the archive itself; nothing was written");
    return kExitUsage;
  }
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
  Manifest manifest;
  manifest.archive = NameOf(PathOf(archivePath).filename());
  ProgressBar bar(context.showProgress, "extracting", planned.size());
  for (size_t i = 0; i < planned.size() && !Interrupted(); ++i) {
    ProgressSlot slot{&bar, i};
    const std::string target = NameOf(PathOf(directory) / PathOf(planned[i].file));
    uint32_t crc = 0;
    if (ExtractOne(plugin, archive, planned[i], directory, part, &slot, &error) &&
        (!withManifest || FileCrc32(target, &crc, &error))) {
      bar.Finish(i);
      ReportDone(context, target);
      if (withManifest) {
        manifest.entries.push_back(
            {stored[i].name, planned[i].file, stored[i].secondWord, stored[i].size, crc});
      }
    } else if (!Interrupted()) {
      bar.Clear();
      ReportError(error);
      ok = false;
    }
  }
  bar.Clear();
  // The manifest only of a whole extraction: it names every entry's file.
  if (withManifest && ok && !Interrupted()) {
    const std::string text = ManifestText(manifest);
    if (WriteFileSafely(manifestPath, std::vector<uint8_t>(text.begin(), text.end()), &error)) {
      ReportDone(context, manifestPath);
    } else {
      ReportError(error);
      ok = false;
    }
  }
  return ok ? kExitOk : kExitFailed;
}

}  // namespace qrv::host
