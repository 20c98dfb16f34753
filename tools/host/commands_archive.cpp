// `qrv list` and `qrv extract`: archives through the archive plug-in.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>

#include "commands.h"
#include "host_block.h"
#include "interrupt.h"
#include "messages.h"
#include "os_path.h"
#include "progress.h"
#include "safe_output.h"

namespace qrv::host {
namespace fs = std::filesystem;

namespace {

// The plug-in builds "dest\name" in a buffer of this many bytes.
constexpr size_t kPluginPathBuffer = 272;

// Opens the archive and lists it; false after reporting why not.
bool OpenArchive(const Context& context, const std::string& path, ArchivePlugin* plugin,
                 std::vector<FileInfo>* entries) {
  std::string error;
  if (!LoadArchivePlugin(context.pluginDirectory, plugin, &error)) {
    ReportError(error);
    return false;
  }
  Head head;
  if (!ReadHead(path, &head, &error)) {
    ReportError(error);
    return false;
  }
  if (!Accepts(plugin->isSupported, path, &head)) {
    ReportError(path + ": not a Quorvanel Archive");
    return false;
  }
  int32_t rc = ListArchive(*plugin, path, entries);
  if (rc != RC_OK) {
    ReportError(path + ": " + ResultMessage(rc, Doing::kListing));
    return false;
  }
  return true;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

// Entry names come from the plug-in, which admits only 0-9, a-z and _; the host
// checks again before it builds a path from one.
bool IsSafeName(const std::string& name) {
  if (name.empty()) return false;
  for (char c : name) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || c == '_')) return false;
  }
  return true;
}

// GetFile with memory output: the entry's bytes.
int32_t ExtractToMemory(const ArchivePlugin& plugin, const std::string& archive,
                        const FileInfo& entry, ProgressSlot* slot, std::vector<uint8_t>* bytes) {
  std::string name = archive;
  QrvBlock handle = nullptr;
  int32_t rc = plugin.getFile(name.data(), static_cast<int32_t>(entry.position),
                              reinterpret_cast<char*>(&handle), QRV_OUTPUT_MEMORY,
                              ReportProgress, UserValue(slot));
  if (rc != RC_OK) return rc;
  HostBlock block(handle);
  const uint8_t* data = block.Lock();
  if (data == nullptr || (block.KnownSize() != 0 && block.KnownSize() < entry.size)) {
    return RC_MEMORY_ERROR;
  }
  bytes->assign(data, data + entry.size);
  return RC_OK;
}

// One entry into `directory`, through a scratch folder there so that a failed
// entry leaves nothing. False with `error` set.
bool ExtractOne(const ArchivePlugin& plugin, const std::string& archive, const FileInfo& entry,
                const std::string& directory, const PartDirectory& part, ProgressSlot* slot,
                std::string* error) {
  const std::string name = EntryName(entry);
  const std::string target = NameOf(PathOf(directory) / name);
  if (!IsSafeName(name)) {
    *error = archive + ": refusing to write an entry with the unsafe name " + name;
    return false;
  }
  // The plug-in's own file output where its path buffer takes the path; memory
  // output and a host-written file for longer paths.
  if (part.path().size() + 1 + name.size() + 1 > kPluginPathBuffer) {
    std::vector<uint8_t> bytes;
    int32_t rc = ExtractToMemory(plugin, archive, entry, slot, &bytes);
    if (rc != RC_OK) {
      *error = archive + ": " + ResultMessage(rc, Doing::kExtract, target);
      return false;
    }
    return WriteFileSafely(target, bytes, error);
  }
  std::string source = archive;
  std::string dest = part.path();
  int32_t rc = plugin.getFile(source.data(), static_cast<int32_t>(entry.position), dest.data(), 0,
                              ReportProgress, UserValue(slot));
  const std::string written = NameOf(PathOf(part.path()) / name);
  if (rc != RC_OK) {
    std::error_code ec;
    fs::remove(PathOf(written), ec);
    *error = archive + ": " + ResultMessage(rc, Doing::kExtract, target);
    return false;
  }
  if (Interrupted()) return false;
  std::error_code ec;
  if (!fs::is_regular_file(PathOf(written), ec)) {
    *error = archive + ": cannot write " + target;
    return false;
  }
  return MoveIntoPlace(written, target, error);
}

// The entries the command line names, looked up with GetFileInfo; false when
// one is missing (after reporting every missing one).
bool SelectEntries(const Context& context, const ArchivePlugin& plugin, const std::string& archive,
                   std::vector<FileInfo>* selected) {
  const uint32_t flag = QRV_INPUT_FILE | (context.args.Has("ignore-case") ? QRV_IGNORE_CASE : 0);
  bool ok = true;
  std::set<uint32_t> positions;
  for (size_t i = 1; i < context.args.positional.size(); ++i) {
    std::string source = archive;
    std::string wanted = context.args.positional[i];
    FileInfo info{};
    int32_t rc = plugin.getFileInfo(source.data(), 0, wanted.data(), flag, &info);
    if (rc != RC_OK) {
      ReportError(archive + ": " + ResultMessage(rc, Doing::kLookup, wanted));
      ok = false;
    } else if (positions.insert(info.position).second) {
      selected->push_back(info);
    }
  }
  return ok;
}

int ExtractToStandardOutput(const ArchivePlugin& plugin, const std::string& archive,
                            const FileInfo& entry) {
  std::vector<uint8_t> bytes;
  ProgressSlot slot{nullptr, 0};
  int32_t rc = ExtractToMemory(plugin, archive, entry, &slot, &bytes);
  if (rc != RC_OK) {
    ReportError(archive + ": " + ResultMessage(rc, Doing::kExtract, EntryName(entry)));
    return kExitFailed;
  }
  if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size() ||
      std::fflush(stdout) != 0) {
    ReportError("cannot write to standard output");
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace

int RunList(Context& context) {
  if (context.args.positional.size() != 1) {
    ReportError("list takes one archive (see `qrv list --help`)");
    return kExitUsage;
  }
  const std::string& path = context.args.positional[0];
  ArchivePlugin plugin;
  std::vector<FileInfo> entries;
  if (!OpenArchive(context, path, &plugin, &entries)) return kExitFailed;
  if (context.args.Has("json")) {
    std::printf("{\"archive\": %s, \"entries\": [", JsonString(path).c_str());
    for (size_t i = 0; i < entries.size(); ++i) {
      std::printf("%s\n  {\"position\": %u, \"size\": %u, \"name\": %s}", i == 0 ? "" : ",",
                  entries[i].position, entries[i].size, JsonString(EntryName(entries[i])).c_str());
    }
    std::printf("%s]}\n", entries.empty() ? "" : "\n");
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
  const std::string archive = context.args.positional[0];
  ArchivePlugin plugin;
  std::vector<FileInfo> entries;
  if (!OpenArchive(context, archive, &plugin, &entries)) return kExitFailed;

  std::vector<FileInfo> selected;
  bool ok = true;
  if (context.args.positional.size() > 1) {
    ok = SelectEntries(context, plugin, archive, &selected);
  } else {
    selected = entries;
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
  std::error_code ec;
  fs::create_directories(PathOf(directory), ec);
  if (!fs::is_directory(PathOf(directory), ec)) {
    ReportError("cannot write into " + directory + ": not a directory");
    return kExitFailed;
  }
  PartDirectory part;
  std::string error;
  if (!part.Create(directory, &error)) {
    ReportError(error);
    return kExitFailed;
  }
  ProgressBar bar(context.showProgress, "extracting", selected.size());
  for (size_t i = 0; i < selected.size() && !Interrupted(); ++i) {
    ProgressSlot slot{&bar, i};
    if (ExtractOne(plugin, archive, selected[i], directory, part, &slot, &error)) {
      bar.Finish(i);
      ReportDone(context, NameOf(PathOf(directory) / EntryName(selected[i])));
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
