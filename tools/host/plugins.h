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

// The file's first 2048 bytes, zero-filled when shorter. False with `error` set
// ("FILE: reason") for a missing or unreadable file or a directory.
bool ReadHead(const std::string& path, Head* head, std::string* error);

// IsSupported with the head's address as the detection value.
bool Accepts(IsSupportedFn isSupported, const std::string& path, Head* head);

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
int32_t DecodePicture(const ImagePlugin& plugin, const std::string& path,
                      ProgressCallback progress, QrvUser user, Picture* picture,
                      std::string* problem);

int32_t ReadPictureInfo(const ImagePlugin& plugin, const std::string& path, PictureInfo* info);

// GetArchiveInfo: every entry's record, in stored order.
int32_t ListArchive(const ArchivePlugin& plugin, const std::string& path,
                    std::vector<FileInfo>* entries);

// The name in a record (at most 200 characters, whether or not terminated).
std::string EntryName(const FileInfo& info);

}  // namespace qrv::host

#endif  // QRV_HOST_PLUGINS_H
