// The two plug-ins as the host sees them: loaded at run time from a directory,
// checked for their interface version, and called by export name. Picture
// decoding and archive listing copy the handed-over blocks into plain host
// memory and free the blocks at once.
#ifndef QRV_HOST_PLUGINS_H
#define QRV_HOST_PLUGINS_H

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "plugin_library.h"
#include "qrvnel.h"

namespace qrv::host {

using Head = std::array<uint8_t, QRV_HEAD_SIZE>;

struct ImagePlugin {
  PluginLibrary library;
  std::string path;
  std::string about;
  IsSupportedFn isSupported = nullptr;
  GetPictureInfoFn getPictureInfo = nullptr;
  GetPictureFn getPicture = nullptr;
};

struct ArchivePlugin {
  PluginLibrary library;
  std::string path;
  std::string about;
  IsSupportedFn isSupported = nullptr;
  GetArchiveInfoFn getArchiveInfo = nullptr;
  GetFileInfoFn getFileInfo = nullptr;
  GetFileFn getFile = nullptr;
};

// Loads ifqrvnel / axqrvnel from `directory` (ending in a separator). False with
// `error` set when the library is missing, speaks another interface version or
// lacks an export.
bool LoadImagePlugin(const std::string& directory, ImagePlugin* plugin, std::string* error);
bool LoadArchivePlugin(const std::string& directory, ArchivePlugin* plugin, std::string* error);

// An input as the plug-ins are handed it: a regular file by its name, or the
// whole of a stream ("-", a pipe, a device), read into memory first because
// it cannot be read twice or from an offset, and handed over as a memory
// source as a host may.
struct Input {
  std::string path;  // as the user gave it
  bool inMemory = false;
  std::vector<uint8_t> bytes;  // the whole input when in memory
};

// Opens `path` as an input and reads its first 2048 bytes into `head`
// (zero-filled when shorter). False with `error` set ("PATH: reason") for a
// missing or unreadable file, a directory, or a stream of 2 GiB or more.
bool OpenInput(const std::string& path, Input* input, Head* head, std::string* error);

// The source arguments (src, len, flag) of an export for `input`, with the
// data taken from byte `offset` on.
class Source {
 public:
  Source(const Input& input, uint32_t offset);
  // The plug-ins only read a memory source, though the interface says char*.
  char* src() {
    return input_.inMemory
               ? reinterpret_cast<char*>(const_cast<uint8_t*>(input_.bytes.data())) + offset_
               : name_.data();
  }
  int32_t len() const {
    return input_.inMemory ? static_cast<int32_t>(input_.bytes.size() - offset_)
                           : static_cast<int32_t>(offset_);
  }
  uint32_t flag() const { return input_.inMemory ? QRV_INPUT_MEMORY : QRV_INPUT_FILE; }

 private:
  const Input& input_;
  uint32_t offset_;
  std::string name_;  // a copy: the exports take a writable name
};

// IsSupported with the head's address as the detection value.
bool Accepts(IsSupportedFn isSupported, const Input& input, Head* head);

// A decoded picture: the plug-in's header block (bitmap header, then the colour
// table of an 8-bit picture) and its bottom-up pixel rows, `stride` bytes each.
struct Picture {
  int32_t width = 0;
  int32_t height = 0;
  int bitsPerPixel = 0;
  uint32_t stride = 0;
  std::vector<uint8_t> header;
  std::vector<uint8_t> pixels;
};

// The row stride of a bitmap: whole pixels rounded up to 4 bytes.
uint32_t BitmapStride(int32_t width, int bitsPerPixel);

// GetPicture on the file; the result code, or RC_INTERNAL_ERROR with `problem`
// set when the blocks handed over make no sense.
int32_t DecodePicture(const ImagePlugin& plugin, const Input& input,
                      ProgressCallback progress, QrvUser user, Picture* picture,
                      std::string* problem);

int32_t ReadPictureInfo(const ImagePlugin& plugin, const Input& input, PictureInfo* info);

// GetArchiveInfo: every entry's record, in stored order.
int32_t ListArchive(const ArchivePlugin& plugin, const Input& input,
                    std::vector<FileInfo>* entries);

// The name in a record (at most 200 characters, whether or not terminated).
std::string EntryName(const FileInfo& info);

}  // namespace qrv::host

#endif  // QRV_HOST_PLUGINS_H
