// The FUSE file system behind `qrv mount` (libfuse 3, low-level interface): a
// flat, read-only folder of the archive's entries. The tree is fixed when the
// mount is made: the root is inode 1 and the listing's entry i is inode i + 2.
// Each entry's header and name are read at its listed position by the
// extractor's own ReadEntryHeader (through ReadListedEntry, as `qrv update`
// reads them), when mounting and again at every open, and reads go with
// pread straight to the entry's bytes in the archive file: no entry is ever
// copied whole, and readers on many threads share no file position.
//
// The archive may change under the mount. Every open and every read compares
// the file's size, modification and change times with those seen when mounting (a read
// before and after reading) and answers EIO on any difference rather than
// bytes that may be wrong. Pages the kernel already holds for an open entry
// stay valid: they are the entry as mounted.
#define FUSE_USE_VERSION 312
#include <fuse_lowlevel.h>

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "archive_entries.h"
#include "file_system.h"
#include "mount.h"

namespace qrv::hosts {
namespace {

using host::Shown;
using host::SystemReason;

constexpr fuse_ino_t kRootInode = FUSE_ROOT_ID;
constexpr fuse_ino_t kFirstEntryInode = FUSE_ROOT_ID + 1;
// Names and attributes never change while mounted, so the kernel may keep them.
constexpr double kCacheSeconds = 24 * 60 * 60;
// The largest read the kernel is asked to send: fewer, larger requests.
constexpr unsigned kMaxRead = 1u << 20;
// How far ahead the kernel reads a file read from start to end. Its default of
// 128 KiB makes every 128 KiB a round trip to this process; larger windows
// cut the trips and let several requests run at once.
constexpr unsigned kReadaheadKiB = 4096;

struct ServedEntry {
  MountEntry listed;
  off_t dataOffset;  // of the entry's first data byte in the archive file
};

struct Archive {
  std::string shown;  // the archive's path, as messages show it
  int fd = -1;
  int readyFd = -1;  // a background mount's word to the process that waits for it
  struct stat seen = {};  // when mounting
  std::vector<ServedEntry> entries;
  std::unordered_map<std::string, size_t> byName;
};

// pread until `count` bytes came or the file ended: the count read, -1 on error.
ssize_t ReadAt(int fd, void* destination, size_t count, off_t offset) {
  size_t total = 0;
  while (total < count) {
    ssize_t got = pread(fd, static_cast<char*>(destination) + total, count - total,
                        offset + static_cast<off_t>(total));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    if (got == 0) break;
    total += static_cast<size_t>(got);
  }
  return static_cast<ssize_t>(total);
}

bool SameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Size and times as when mounting: a write or a truncation moves the change
// time, which, unlike the modification time, no program can set back, so a
// false answer means the listed bytes may be gone.
bool Unchanged(const Archive& archive) {
  struct stat now;
  return fstat(archive.fd, &now) == 0 && now.st_size == archive.seen.st_size &&
         SameTime(now.st_mtim, archive.seen.st_mtim) &&
         SameTime(now.st_ctim, archive.seen.st_ctim);
}

// The entry's header and name at its listed position, read by the one routine
// the other archive commands read them with, from the bytes found there. True
// with the offset of the entry's data; false when the archive no longer holds
// that entry there in full.
bool FindEntryData(const Archive& archive, const MountEntry& listed, off_t* dataOffset) {
  const host::FetchBytes fetch = [&](uint64_t offset, void* into, size_t size) {
    return ReadAt(archive.fd, into, size, static_cast<off_t>(offset)) ==
           static_cast<ssize_t>(size);
  };
  host::StoredEntry stored;
  // The listed name's length is fetched with the header: one read for all but
  // the longest names.
  if (host::ReadListedEntry(fetch, listed.position, listed.name, listed.size, listed.name.size(),
                            &stored) != host::ListedEntry::kFound ||
      stored.End() > static_cast<uint64_t>(archive.seen.st_size)) {
    return false;
  }
  *dataOffset = static_cast<off_t>(stored.DataStart());
  return true;
}

const ServedEntry* EntryOf(const Archive& archive, fuse_ino_t inode) {
  if (inode < kFirstEntryInode || inode - kFirstEntryInode >= archive.entries.size()) {
    return nullptr;
  }
  return &archive.entries[inode - kFirstEntryInode];
}

Archive& ArchiveOf(fuse_req_t request) {
  return *static_cast<Archive*>(fuse_req_userdata(request));
}

// Owner and times are the archive's; the modes are its read bits only (the
// folder searchable where it is readable).
struct stat Attributes(const Archive& archive, fuse_ino_t inode) {
  struct stat attributes = {};
  attributes.st_ino = inode;
  attributes.st_uid = archive.seen.st_uid;
  attributes.st_gid = archive.seen.st_gid;
  attributes.st_atim = archive.seen.st_atim;
  attributes.st_mtim = archive.seen.st_mtim;
  attributes.st_ctim = archive.seen.st_ctim;
  const mode_t readable = archive.seen.st_mode & 0444;
  if (const ServedEntry* entry = EntryOf(archive, inode)) {
    attributes.st_mode = S_IFREG | readable;
    attributes.st_nlink = 1;
    attributes.st_size = entry->listed.size;
    attributes.st_blocks = (entry->listed.size + 511) / 512;
    attributes.st_blksize = kMaxRead;
  } else {
    attributes.st_mode = S_IFDIR | readable | (readable >> 2);
    attributes.st_nlink = 2;
  }
  return attributes;
}

bool IsInode(const Archive& archive, fuse_ino_t inode) {
  return inode == kRootInode || EntryOf(archive, inode) != nullptr;
}

// The mount works once the kernel's first request is answered: a process
// waiting for a background mount learns it here.
void Init(void* data, fuse_conn_info* connection) {
  connection->max_read = kMaxRead;  // as the mount option says
  connection->max_readahead = kReadaheadKiB * 1024;
  auto* archive = static_cast<Archive*>(data);
  if (archive->readyFd >= 0) {
    (void)!write(archive->readyFd, "", 1);
    close(archive->readyFd);
    archive->readyFd = -1;
  }
}

void Lookup(fuse_req_t request, fuse_ino_t parent, const char* name) {
  const Archive& archive = ArchiveOf(request);
  if (parent != kRootInode) {
    fuse_reply_err(request, ENOTDIR);
    return;
  }
  // An inode of 0 answers "no such name", which the kernel keeps as well.
  fuse_entry_param found = {};
  found.entry_timeout = kCacheSeconds;
  if (auto at = archive.byName.find(name); at != archive.byName.end()) {
    found.ino = kFirstEntryInode + at->second;
    found.attr = Attributes(archive, found.ino);
    found.attr_timeout = kCacheSeconds;
  }
  fuse_reply_entry(request, &found);
}

void GetAttributes(fuse_req_t request, fuse_ino_t inode, fuse_file_info*) {
  const Archive& archive = ArchiveOf(request);
  if (!IsInode(archive, inode)) {
    fuse_reply_err(request, ENOENT);
    return;
  }
  struct stat attributes = Attributes(archive, inode);
  fuse_reply_attr(request, &attributes, kCacheSeconds);
}

void ReadDirectory(fuse_req_t request, fuse_ino_t inode, size_t size, off_t offset,
                   fuse_file_info*) {
  const Archive& archive = ArchiveOf(request);
  if (inode != kRootInode) {
    fuse_reply_err(request, ENOTDIR);
    return;
  }
  // Offset n resumes at the n-th name: ".", "..", then the entries in order.
  std::vector<char> buffer(size);
  size_t used = 0;
  const size_t count = archive.entries.size() + 2;
  for (size_t i = static_cast<size_t>(offset); i < count; ++i) {
    const fuse_ino_t shownInode = i < 2 ? kRootInode : kFirstEntryInode + (i - 2);
    const char* name = i == 0 ? "." : i == 1 ? ".." : archive.entries[i - 2].listed.name.c_str();
    struct stat attributes = Attributes(archive, shownInode);
    size_t need = fuse_add_direntry(request, buffer.data() + used, size - used, name, &attributes,
                                    static_cast<off_t>(i + 1));
    if (need > size - used) break;
    used += need;
  }
  fuse_reply_buf(request, buffer.data(), used);
}

void Open(fuse_req_t request, fuse_ino_t inode, fuse_file_info* info) {
  const Archive& archive = ArchiveOf(request);
  const ServedEntry* entry = EntryOf(archive, inode);
  if (entry == nullptr) {
    fuse_reply_err(request, inode == kRootInode ? EISDIR : ENOENT);
    return;
  }
  if ((info->flags & O_ACCMODE) != O_RDONLY || (info->flags & O_TRUNC) != 0) {
    fuse_reply_err(request, EROFS);
    return;
  }
  off_t dataOffset = 0;
  if (!Unchanged(archive) || !FindEntryData(archive, entry->listed, &dataOffset) ||
      dataOffset != entry->dataOffset) {
    fuse_reply_err(request, EIO);
    return;
  }
  info->keep_cache = 1;
  fuse_reply_open(request, info);
}

void Read(fuse_req_t request, fuse_ino_t inode, size_t size, off_t offset, fuse_file_info*) {
  const Archive& archive = ArchiveOf(request);
  const ServedEntry* entry = EntryOf(archive, inode);
  if (entry == nullptr) {
    fuse_reply_err(request, EBADF);
    return;
  }
  const off_t entrySize = entry->listed.size;
  if (offset < 0 || offset >= entrySize) {
    fuse_reply_buf(request, nullptr, 0);
    return;
  }
  const size_t count = std::min<size_t>(size, static_cast<size_t>(entrySize - offset));
  // One buffer per serving thread, as large as the largest request.
  thread_local std::unique_ptr<char[]> buffer;
  thread_local size_t capacity = 0;
  if (capacity < count) {
    buffer.reset(new (std::nothrow) char[count]);
    capacity = buffer ? count : 0;
    if (!buffer) {
      fuse_reply_err(request, ENOMEM);
      return;
    }
  }
  if (!Unchanged(archive) ||
      ReadAt(archive.fd, buffer.get(), count, entry->dataOffset + offset) !=
          static_cast<ssize_t>(count) ||
      !Unchanged(archive)) {
    fuse_reply_err(request, EIO);
    return;
  }
  fuse_reply_buf(request, buffer.get(), count);
}

void StatFileSystem(fuse_req_t request, fuse_ino_t) {
  const Archive& archive = ArchiveOf(request);
  struct statvfs totals = {};
  totals.f_bsize = totals.f_frsize = 4096;
  uint64_t bytes = 0;
  for (const ServedEntry& entry : archive.entries) bytes += entry.listed.size;
  totals.f_blocks = (bytes + 4095) / 4096;
  totals.f_files = archive.entries.size() + 1;
  totals.f_namemax = 255;
  totals.f_flag = ST_RDONLY;
  fuse_reply_statfs(request, &totals);
}

// The mount is read-only: the kernel refuses changes itself, and should one
// reach the file system anyway (after a remount read-write) it is refused here.
template <typename... Rest>
void RefuseChange(fuse_req_t request, Rest...) {
  fuse_reply_err(request, EROFS);
}

fuse_lowlevel_ops Operations() {
  fuse_lowlevel_ops ops = {};
  ops.init = Init;
  ops.lookup = Lookup;
  ops.getattr = GetAttributes;
  ops.readdir = ReadDirectory;
  ops.open = Open;
  ops.read = Read;
  ops.statfs = StatFileSystem;
  ops.setattr = RefuseChange<fuse_ino_t, struct stat*, int, fuse_file_info*>;
  ops.mknod = RefuseChange<fuse_ino_t, const char*, mode_t, dev_t>;
  ops.mkdir = RefuseChange<fuse_ino_t, const char*, mode_t>;
  ops.unlink = RefuseChange<fuse_ino_t, const char*>;
  ops.rmdir = RefuseChange<fuse_ino_t, const char*>;
  ops.symlink = RefuseChange<const char*, fuse_ino_t, const char*>;
  ops.rename = RefuseChange<fuse_ino_t, const char*, fuse_ino_t, const char*, unsigned>;
  ops.link = RefuseChange<fuse_ino_t, fuse_ino_t, const char*>;
  ops.write = RefuseChange<fuse_ino_t, const char*, size_t, off_t, fuse_file_info*>;
  ops.create = RefuseChange<fuse_ino_t, const char*, mode_t, fuse_file_info*>;
  ops.setxattr = RefuseChange<fuse_ino_t, const char*, const char*, size_t, int>;
  ops.removexattr = RefuseChange<fuse_ino_t, const char*>;
  ops.fallocate = RefuseChange<fuse_ino_t, int, off_t, off_t, fuse_file_info*>;
  return ops;
}

// libfuse's own messages, kept while mounting to be reported in qrv's words.
std::string* gFuseMessages = nullptr;

void KeepFuseMessage(fuse_log_level, const char* format, va_list args) {
  char line[512];
  std::vsnprintf(line, sizeof line, format, args);
  if (gFuseMessages == nullptr) return;
  std::string text = line;
  if (text.rfind("fuse: ", 0) == 0) text.erase(0, 6);
  while (!text.empty() && text.back() == '\n') text.pop_back();
  if (!gFuseMessages->empty()) *gFuseMessages += "; ";
  *gFuseMessages += text;
}

// Opens the archive and finds every listed entry in it. False with `error` set.
bool OpenArchiveFile(const MountRequest& request, Archive* archive, std::string* error) {
  archive->shown = Shown(request.archive);
  archive->fd = open(request.archive.c_str(), O_RDONLY | O_CLOEXEC);
  if (archive->fd < 0 || fstat(archive->fd, &archive->seen) != 0) {
    *error = archive->shown + ": cannot open: " + SystemReason(errno);
    return false;
  }
  archive->entries.reserve(request.entries.size());
  for (const MountEntry& listed : request.entries) {
    off_t dataOffset = 0;
    if (!FindEntryData(*archive, listed, &dataOffset)) {
      *error = archive->shown + ": the archive changed while it was being read";
      return false;
    }
    archive->byName.emplace(listed.name, archive->entries.size());
    archive->entries.push_back({listed, dataOffset});
  }
  return true;
}

// The kernel answers the mount's first request with the smaller of the
// readahead it offered (128 KiB) and the one asked for in Init, so the offer
// is raised first through the mount's own entry in /sys/class/bdi: only root
// may, and without it reads simply stay at the default.
void RaiseReadahead(const std::string& mountPoint) {
  // /proc/self/mountinfo: ID PARENT MAJOR:MINOR ROOT MOUNTPOINT ..., with
  // blanks and backslashes in paths written as \ooo; the newest mount is last.
  std::string escaped;
  for (unsigned char c : mountPoint) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\\') {
      char octal[5];
      std::snprintf(octal, sizeof octal, "\\%03o", c);
      escaped += octal;
    } else {
      escaped += static_cast<char>(c);
    }
  }
  std::FILE* table = std::fopen("/proc/self/mountinfo", "re");
  if (table == nullptr) return;
  std::string device;
  char* line = nullptr;
  size_t capacity = 0;
  while (getline(&line, &capacity, table) > 0) {
    char number[32], where[4096];
    if (std::sscanf(line, "%*s %*s %31s %*s %4095s", number, where) == 2 && escaped == where) {
      device = number;
    }
  }
  free(line);
  std::fclose(table);
  if (device.empty()) return;
  const std::string setting = "/sys/class/bdi/" + device + "/read_ahead_kb";
  if (std::FILE* out = std::fopen(setting.c_str(), "we")) {
    std::fprintf(out, "%u\n", kReadaheadKiB);
    std::fclose(out);
  }
}

// qrv's interrupt handlers only record a signal; libfuse sets its own, which
// end the session, only over the default action. Signals the caller chose to
// ignore stay ignored.
void ResetInterruptHandlers() {
  for (int number : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction current = {};
    if (sigaction(number, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) {
      signal(number, SIG_DFL);
    }
  }
}

std::string MountOptions(const std::string& archivePath) {
  char* options = nullptr;
  std::string plain = "ro,subtype=qrv,max_read=" + std::to_string(kMaxRead);
  // The archive's path names the mount in /proc/mounts; commas are escaped.
  std::string fsname = "fsname=" + archivePath;
  if (fuse_opt_add_opt(&options, plain.c_str()) != 0 ||
      fuse_opt_add_opt_escaped(&options, fsname.c_str()) != 0) {
    free(options);
    return plain;
  }
  std::string joined = options;
  free(options);
  return joined;
}

// Background: a child process serves the mount, and this one waits until the
// mount works (a zero byte from Init) or the child's reason why not (text), so
// that its exit status tells the truth. Once the mount works this process
// exits at once with status 0, leaving the session to the child, as libfuse's
// own daemonizing does. True in the child, which goes on; false with `error`.
bool ServeInBackground(Archive* archive, std::string* error) {
  int pipeEnds[2];
  if (pipe2(pipeEnds, O_CLOEXEC) != 0) {
    *error = "cannot start the mount in the background: " + SystemReason(errno);
    return false;
  }
  std::fflush(stdout);
  std::fflush(stderr);
  pid_t child = fork();
  if (child < 0) {
    *error = "cannot start the mount in the background: " + SystemReason(errno);
    close(pipeEnds[0]);
    close(pipeEnds[1]);
    return false;
  }
  if (child == 0) {
    close(pipeEnds[0]);
    archive->readyFd = pipeEnds[1];
    // Free of the terminal and of the working directory, which could
    // otherwise not be unmounted; standard output and error are gone.
    setsid();
    (void)!chdir("/");
    int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0) {
      for (int fd = 0; fd <= 2; ++fd) dup2(null, fd);
      if (null > 2) close(null);
    }
    return true;
  }
  close(pipeEnds[1]);
  std::string answer;
  char chunk[256];
  for (;;) {
    ssize_t got = read(pipeEnds[0], chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    answer.append(chunk, static_cast<size_t>(got));
  }
  close(pipeEnds[0]);
  if (answer.size() == 1 && answer[0] == '\0') _exit(0);
  *error = answer.empty() ? "the mount process ended before the mount was ready" : answer;
  return false;
}

}  // namespace

bool MountArchive(const MountRequest& request, std::string* error) {
  Archive archive;
  std::unique_ptr<char, decltype(&free)> mountPoint(nullptr, free);
  bool ok = OpenArchiveFile(request, &archive, error);
  if (ok) {
    // The background process leaves the working directory for /, so the
    // mount point is resolved first.
    mountPoint.reset(realpath(request.directory.c_str(), nullptr));
    struct stat place;
    if (!mountPoint || stat(mountPoint.get(), &place) != 0) {
      *error = Shown(request.directory) + ": cannot mount here: " + SystemReason(errno);
      ok = false;
    } else if (!S_ISDIR(place.st_mode)) {
      *error = Shown(request.directory) + ": cannot mount here: " + SystemReason(ENOTDIR);
      ok = false;
    }
  }
  if (!ok) {
    if (archive.fd >= 0) close(archive.fd);
    return false;
  }

  std::string messages;
  gFuseMessages = &messages;
  fuse_set_log_func(KeepFuseMessage);
  char* absoluteArchive = realpath(request.archive.c_str(), nullptr);
  const std::string options = MountOptions(absoluteArchive ? absoluteArchive : request.archive);
  free(absoluteArchive);
  std::vector<std::string> words = {"qrv", "-o", options};
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
  const fuse_lowlevel_ops ops = Operations();
  fuse_session* session = fuse_session_new(&args, &ops, sizeof ops, &archive);
  bool mounted = false;
  bool handlers = false;
  if (session != nullptr) {
    ResetInterruptHandlers();
    handlers = fuse_set_signal_handlers(session) == 0;
    mounted = handlers && fuse_session_mount(session, mountPoint.get()) == 0;
  }
  if (mounted) RaiseReadahead(mountPoint.get());
  if (!mounted) {
    *error = "cannot mount " + archive.shown + " on " + Shown(request.directory) + ": " +
             (messages.empty() ? std::string("the FUSE library refused") : messages);
    ok = false;
  }
  // The background process has no standard error for libfuse's messages.
  gFuseMessages = nullptr;
  fuse_set_log_func(nullptr);

  if (ok && !request.foreground) ok = ServeInBackground(&archive, error);
  if (ok) {
    fuse_loop_config* loop = fuse_loop_cfg_create();
    int rc = fuse_session_loop_mt(session, loop);
    fuse_loop_cfg_destroy(loop);
    if (rc < 0) {
      *error = Shown(request.directory) + ": the mount failed: " + SystemReason(-rc);
      ok = false;
    }
    if (archive.readyFd >= 0) {
      (void)!write(archive.readyFd, error->data(), error->size());
      close(archive.readyFd);
    }
  }
  if (mounted) fuse_session_unmount(session);
  if (handlers) fuse_remove_signal_handlers(session);
  if (session != nullptr) fuse_session_destroy(session);
  fuse_opt_free_args(&args);
  close(archive.fd);
  return ok;
}

}  // namespace qrv::hosts
