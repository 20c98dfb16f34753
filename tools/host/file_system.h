// The few file-system operations the commands need, each with the operating
// system's own reason on failure. One implementation per platform
// (file_system_posix.cpp, file_system_windows.cpp); the commands never ask the
// platform directly.
#ifndef QRV_HOST_FILE_SYSTEM_H
#define QRV_HOST_FILE_SYSTEM_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace qrv::host {

// "-" as an input names standard input.
inline bool IsStandardInput(const std::string& path) { return path == "-"; }

// A path as it goes into a message: "" for an empty one, control characters
// escaped so that a file name cannot drive the terminal.
std::string Shown(const std::string& path);
// Text with its control characters escaped as \xNN.
std::string EscapeControl(const std::string& text);

// The system's words for an errno value.
std::string SystemReason(int error);

// Which file a path is: device and file number (on Windows the volume serial
// number and the file index). Paths that reach the same file, through links,
// other spellings or another case, have equal identities.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t file = 0;
  bool operator==(const FileIdentity& other) const {
    return device == other.device && file == other.file;
  }
};

// False when the path names no existing file (or "-" whose standard input is
// not a file): it then cannot be any other file either.
bool IdentifyFile(const std::string& path, FileIdentity* identity);

// True when both paths reach one existing file.
bool SameFile(const std::string& a, const std::string& b);

// What kind of thing an input is.
enum class InputKind { kMissing, kRegularFile, kDirectory, kStream };
// kStream: standard input ("-"), a pipe, a socket or a device, which may not
// be read twice or from an offset; such an input is read into memory first.
InputKind KindOfInput(const std::string& path, std::string* reason);
// The kind of an input that can be read (a regular file or a stream); false
// with `error` set ("PATH: cannot open: reason", "PATH: is a directory, not a
// file") for one that is missing or a directory.
bool KindOfReadableInput(const std::string& path, InputKind* kind, std::string* error);

// Reads a whole input (a file, "-" or a stream). False with `error` set
// ("PATH: cannot read: reason").
bool ReadWholeInput(const std::string& path, std::vector<uint8_t>* bytes, std::string* error);

// Creates `path` and its missing parents. False with `error` set ("cannot write
// into PATH: reason").
bool MakeDirectories(const std::string& path, std::string* error);

// Gives the open file `file` the permissions of the file `original` (and its
// owner and group where the system allows), then flushes it to the disk.
// False with the system's reason.
bool SyncWithPermissionsOf(const std::string& original, std::FILE* file, std::string* reason);

// The longest file name that fits in `directory` on this system (its limits on
// a name and on a whole path), with room left for the temporary name a file
// is first written under. 0 when none fits.
size_t LongestFileNameIn(const std::string& directory);
// The same from the system's limits on a name and on a path (without its
// terminator); shared by the implementations.
size_t RoomForFileName(const std::string& directory, size_t longestName, size_t longestPath);

// Renames `from` over `to`. False with the system's reason.
bool RenameOver(const std::string& from, const std::string& to, std::string* reason);

// The names in a directory (no "." and ".."); empty when it cannot be read.
std::vector<std::string> DirectoryNames(const std::string& directory);

// This process's id, and whether the process of another id has ended (false
// when it may still run or the question cannot be answered).
unsigned long CurrentProcessId();
bool ProcessHasEnded(unsigned long pid);

// Entry names that this system cannot create as files in a directory (the DOS
// device names on Windows). Empty when `name` is fine, else why not.
std::string WhyNameCannotBeAFile(const std::string& name);

}  // namespace qrv::host

#endif  // QRV_HOST_FILE_SYSTEM_H
