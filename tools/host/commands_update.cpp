// `qrv update`: a new archive made from an old one with some entries replaced,
// added or removed. Every entry not named is copied byte for byte, header
// included, in its place in the order, and so are the bytes after the last
// entry (the end mark); a replaced entry keeps its place, its name and its
// second header word. Every request is checked before anything is written,
// and the archive is streamed, never held in memory.
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <set>

#include "archive_entries.h"
#include "archive_writer.h"
#include "commands.h"
#include "file_system.h"
#include "interrupt.h"
#include "messages.h"
#include "os_path.h"
#include "progress.h"
#include "safe_output.h"

namespace qrv::host {
namespace {

constexpr size_t kNone = static_cast<size_t>(-1);
constexpr size_t kCopyPiece = size_t{1} << 20;

// One request of the command line.
struct Change {
  enum Kind { kReplace, kAdd, kRemove } kind;
  std::string name;    // as given
  std::string file;    // replace and add
  std::string before;  // add: the entry it goes before; empty for the end
  size_t entry = kNone;  // replace and remove: the old entry it names
  uint64_t size = 0;     // of the file
};

// One entry of the new archive: an old one (`entry`), as it was or with a
// replacement, or an added one.
struct Piece {
  size_t entry = kNone;
  const Change* change = nullptr;
};

// What a piece's header carries.
struct PieceHeader {
  const std::string& name;
  uint64_t size;
  uint32_t secondWord;
};

PieceHeader HeaderOf(const Piece& piece, const std::vector<StoredEntry>& entries) {
  if (piece.change != nullptr && piece.change->kind == Change::kAdd) {
    return {piece.change->name, piece.change->size, 0};
  }
  const StoredEntry& old = entries[piece.entry];
  return {old.name, piece.change != nullptr ? piece.change->size : old.size, old.secondWord};
}

// The requests in command-line order; false after reporting what is wrong.
bool ReadChanges(const Arguments& args, std::vector<Change>* changes) {
  for (const auto& [option, value] : args.ordered) {
    if (option == "replace" || option == "add") {
      const size_t equals = value.find('=');
      if (equals == 0 || equals == std::string::npos || equals + 1 == value.size()) {
        ReportError("--" + option + " takes NAME=FILE, not " + Shown(value));
        return false;
      }
      changes->push_back({option == "add" ? Change::kAdd : Change::kReplace,
                          value.substr(0, equals), value.substr(equals + 1), ""});
    } else if (option == "remove") {
      if (value.empty()) {
        ReportError("--remove takes the NAME of an entry");
        return false;
      }
      changes->push_back({Change::kRemove, value, "", ""});
    } else if (option == "before") {
      if (changes->empty() || changes->back().kind != Change::kAdd ||
          !changes->back().before.empty() || value.empty()) {
        ReportError("--before NAME follows the --add NAME=FILE that it places");
        return false;
      }
      changes->back().before = value;
    }
  }
  return true;
}

// The old entry that `text` names: NAME is the first entry of that name, as
// a lookup by name finds it, and NAME.N the N-th (entry names hold no dot).
// kNone with `why` set when there is none.
size_t FindEntry(const std::vector<StoredEntry>& entries, const std::string& text,
                 std::string* why) {
  std::string name = text;
  size_t wanted = 1;
  const size_t dot = text.rfind('.');
  if (dot != std::string::npos && dot + 1 < text.size() && text.size() - dot <= 10 &&
      std::all_of(text.begin() + dot + 1, text.end(), [](unsigned char c) { return std::isdigit(c); })) {
    name = text.substr(0, dot);
    wanted = std::stoul(text.substr(dot + 1));
  }
  size_t seen = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].name == name && ++seen == wanted) return i;
  }
  *why = seen == 0 ? "no entry named " + Shown(name)
                   : "only " + std::to_string(seen) + " entr" + (seen == 1 ? "y is" : "ies are") +
                         " named " + Shown(name) + ", so there is no " + Shown(text);
  return kNone;
}

// Checks one file to be stored: a regular file of at least one byte.
bool CheckFile(Change* change, std::string* why) {
  std::string reason;
  switch (KindOfInput(change->file, &reason)) {
    case InputKind::kMissing:
      *why = Shown(change->file) + ": cannot open: " + reason;
      return false;
    case InputKind::kDirectory:
      *why = Shown(change->file) + ": is a directory, not a file";
      return false;
    case InputKind::kStream:
      *why = Shown(change->file) + ": is not a regular file (a pipe or device cannot be stored)";
      return false;
    case InputKind::kRegularFile:
      break;
  }
  std::error_code ec;
  change->size = std::filesystem::file_size(PathOf(change->file), ec);
  if (ec) {
    *why = Shown(change->file) + ": cannot read: " + ec.message();
  } else if (change->size == 0) {
    *why = Shown(change->file) + ": is empty, and an entry holds at least one byte";
  } else if (change->size > writer::kMaxArchiveBytes) {
    *why = Shown(change->file) + ": is larger than an archive can hold";
  }
  return why->empty();
}

// Resolves every request against the archive's entries and lays out the new
// archive. Every problem is reported; false when there was one.
bool Plan(const std::string& archive, const std::vector<StoredEntry>& entries,
          std::vector<Change>* changes, std::vector<Piece>* pieces) {
  bool ok = true;
  auto refuse = [&](const std::string& message) {
    ReportError(message);
    ok = false;
  };
  std::vector<const Change*> changeOf(entries.size(), nullptr);
  for (Change& change : *changes) {
    std::string why;
    if (change.kind != Change::kAdd) {
      change.entry = FindEntry(entries, change.name, &why);
      if (change.entry == kNone) {
        refuse(Shown(archive) + ": " + why);
      } else if (changeOf[change.entry] != nullptr) {
        refuse(Shown(archive) + ": the entry " + Shown(change.name) +
               " is named by two requests; each entry may be replaced or removed once");
      } else {
        changeOf[change.entry] = &change;
      }
    }
    if (change.kind != Change::kRemove && !CheckFile(&change, &why)) refuse(why);
  }
  // Added names must be storable and new among the entries that stay.
  std::set<std::string> kept, added;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (changeOf[i] == nullptr || changeOf[i]->kind != Change::kRemove) kept.insert(entries[i].name);
  }
  for (const Change& change : *changes) {
    if (change.kind != Change::kAdd) continue;
    if (std::string why = writer::CheckEntryName(change.name); !why.empty()) {
      refuse("--add " + Shown(change.name) + ": not a name an archive can store: " + why +
             " (as `qrv pack` maps names, it would be " + StorableEntryName(change.name) + ")");
    } else if (kept.count(change.name) != 0) {
      refuse(Shown(archive) + ": an entry named " + change.name +
             " is already there (--replace changes it)");
    } else if (!added.insert(change.name).second) {
      refuse("--add " + change.name + " is given twice");
    }
  }
  if (!ok) return false;

  for (size_t i = 0; i < entries.size(); ++i) {
    if (changeOf[i] == nullptr || changeOf[i]->kind == Change::kReplace) {
      pieces->push_back({i, changeOf[i]});
    }
  }
  for (const Change& change : *changes) {
    if (change.kind != Change::kAdd) continue;
    auto at = pieces->end();
    if (!change.before.empty()) {
      // An entry of the archive, or one added before this one.
      std::string why;
      const size_t target = FindEntry(entries, change.before, &why);
      at = std::find_if(pieces->begin(), pieces->end(), [&](const Piece& piece) {
        return target != kNone ? piece.entry == target
                               : piece.change != nullptr && piece.change->kind == Change::kAdd &&
                                     piece.change->name == change.before;
      });
      if (at == pieces->end()) {
        refuse(Shown(archive) + ": --before " + Shown(change.before) + ": " +
               (target != kNone ? "that entry is removed" : why));
        continue;
      }
    }
    pieces->insert(at, {kNone, &change});
  }
  if (ok && pieces->empty()) {
    refuse(Shown(archive) + ": removing every entry leaves no archive (one holds at least one entry)");
  }
  return ok;
}

// Copies `size` bytes of the old archive from `offset` into `out`.
bool CopyRange(ArchiveBytes& bytes, uint64_t offset, uint64_t size, OutputFile* out,
               const std::function<void(uint64_t)>& progress, std::string* error) {
  std::vector<uint8_t> piece(static_cast<size_t>(std::min<uint64_t>(kCopyPiece, size)));
  for (uint64_t done = 0; done < size;) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(piece.size(), size - done));
    if (!bytes.Read(offset + done, piece.data(), want, error) ||
        !out->Write(piece.data(), want, error)) {
      return false;
    }
    done += want;
    progress(done);
  }
  return true;
}

}  // namespace

int RunUpdate(Context& context) {
  if (context.args.positional.size() != 1) {
    ReportError("update takes one archive (see `qrv update --help`)");
    return kExitUsage;
  }
  const std::string archive = context.args.positional[0];
  const bool inPlace = !context.args.Has("output");
  std::string output = inPlace ? archive : context.args.Value("output");
  // In place through a symbolic link: the file it points to is updated, and
  // the link stays a link.
  std::error_code ec;
  if (inPlace && std::filesystem::is_symlink(PathOf(archive), ec)) {
    const std::filesystem::path target = std::filesystem::canonical(PathOf(archive), ec);
    if (!ec) output = NameOf(target);
  }
  std::vector<Change> changes;
  if (!ReadChanges(context.args, &changes)) return kExitUsage;
  std::string reason;
  if (inPlace && KindOfInput(archive, &reason) == InputKind::kStream) {
    ReportError(Shown(archive) + ": a stream cannot be updated in place; name the new archive "
                                 "with -o OUT");
    return kExitUsage;
  }
  if (!inPlace && SameFile(output, archive)) {
    ReportError(Shown(archive) + ": the output " + Shown(output) +
                " is the archive itself; leave out -o to update it in place");
    return kExitUsage;
  }
  for (const Change& change : changes) {
    if (change.kind != Change::kRemove && !inPlace && SameFile(output, change.file)) {
      ReportError(Shown(change.file) + ": the output " + Shown(output) +
                  " would replace this input; nothing was written");
      return kExitUsage;
    }
  }

  ArchivePlugin plugin;
  Input input;
  std::vector<FileInfo> listing;
  if (!OpenArchive(context, archive, &plugin, &input, &listing)) return kExitFailed;
  ArchiveBytes bytes;
  std::vector<StoredEntry> entries;
  uint64_t endMarkAt = 0;
  std::string error;
  if (!bytes.Open(input, &error) ||
      !ReadStoredEntries(bytes, listing, &entries, &endMarkAt, &error)) {
    ReportError(error);
    return kExitFailed;
  }
  std::vector<Piece> pieces;
  if (!Plan(archive, entries, &changes, &pieces)) return kExitUsage;

  uint64_t total = bytes.size() - endMarkAt;
  for (const Piece& piece : pieces) {
    const PieceHeader header = HeaderOf(piece, entries);
    total += kEntryHeadBytes + header.name.size() + header.size;
  }
  if (total > writer::kMaxArchiveBytes) {
    ReportError(Shown(output) + ": the archive would reach 2^31 bytes, more than it can hold");
    return kExitFailed;
  }

  OutputFile out;
  // Replacing the archive: its permissions stay, and the new one is on the
  // disk before it takes the old one's name.
  if (inPlace) out.ReplaceDurably(archive);
  if (!out.Open(output, &error, false)) {
    ReportError(error);
    return kExitFailed;
  }
  ProgressBar bar(context.showProgress, "updating", 1);
  uint64_t written = 0;
  auto progress = [&](uint64_t done) {
    bar.Report(0, static_cast<int32_t>((written + done) * 1000 / total), 1000);
  };
  bool ok = true;
  for (size_t i = 0; ok && i < pieces.size(); ++i) {
    const Piece& piece = pieces[i];
    if (piece.change == nullptr) {
      // Header, name and data as they are.
      const StoredEntry& old = entries[piece.entry];
      ok = CopyRange(bytes, old.position, old.End() - old.position, &out, progress, &error);
      written += old.End() - old.position;
    } else {
      const PieceHeader fields = HeaderOf(piece, entries);
      const std::vector<uint8_t> header = writer::EntryHeaderBytes(
          fields.name, static_cast<uint32_t>(fields.size), fields.secondWord);
      ok = out.Write(header.data(), header.size(), &error) &&
           CopyFileInto(&out, piece.change->file, fields.size,
                        [&](uint64_t done) { progress(header.size() + done); }, nullptr, &error);
      written += header.size() + fields.size;
    }
  }
  ok = ok && CopyRange(bytes, endMarkAt, bytes.size() - endMarkAt, &out, progress, &error);
  bytes.Close();
  ok = ok && out.Commit(&error);
  bar.Clear();
  if (!ok) {
    if (!Interrupted()) ReportError(error);
    return kExitFailed;
  }
  for (const Change& change : changes) {
    if (change.kind == Change::kRemove) {
      ReportDone(context, output + ": removed " + change.name);
    } else {
      ReportDone(context, output + ": " + (change.kind == Change::kAdd ? "added " : "replaced ") +
                              change.name + " (" + ByteCount(change.size) + ")" +
                              (change.before.empty() ? "" : " before " + change.before));
    }
  }
  if (changes.empty()) {
    ReportDone(context, output + ": " + std::to_string(pieces.size()) +
                            " entries copied unchanged");
  }
  return kExitOk;
}

}  // namespace qrv::host
