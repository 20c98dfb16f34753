#include "plugins.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "file_system.h"
#include "host_block.h"

namespace qrv::host {
namespace fs = std::filesystem;

namespace {

// The header block of an 8-bit picture carries a 256-entry colour table.
constexpr size_t kBitmapHeaderSize = sizeof(QrvBitmapHeader);
constexpr size_t kColourTableSize = 256 * 4;

// Opens `base` in `directory` and checks that it speaks `version`.
bool OpenPlugin(const std::string& directory, const char* base, const char* version,
                PluginLibrary* library, std::string* path, std::string* about,
                std::string* error) {
  *path = directory + PluginFileName(base);
  if (!library->Open(*path)) {
    *error = "cannot load the plug-in " + *path + ": " + library->error() +
             " (use --plugins DIR to say where the plug-ins are)";
    return false;
  }
  auto info = library->Get<GetPluginInfoFn>("GetPluginInfo");
  char buf[256] = {};
  if (info == nullptr || info(0, buf, sizeof buf) <= 0 || std::strcmp(buf, version) != 0) {
    *error = *path + " is not a plug-in of interface version " + version;
    library->Close();
    return false;
  }
  if (info(1, buf, sizeof buf) > 0) *about = buf;
  return true;
}

template <typename Fn>
bool Require(const PluginLibrary& library, const std::string& path, const char* name, Fn* fn,
             std::string* error) {
  *fn = library.Get<Fn>(name);
  if (*fn == nullptr && error->empty()) *error = path + " lacks the export " + name;
  return *fn != nullptr;
}

}  // namespace

bool LoadImagePlugin(const std::string& directory, ImagePlugin* plugin, std::string* error) {
  if (!OpenPlugin(directory, "ifqrvnel", "00IN", &plugin->library, &plugin->path,
                  &plugin->about, error)) {
    return false;
  }
  error->clear();
  bool ok = Require(plugin->library, plugin->path, "IsSupported", &plugin->isSupported, error);
  ok = Require(plugin->library, plugin->path, "GetPictureInfo", &plugin->getPictureInfo, error) && ok;
  ok = Require(plugin->library, plugin->path, "GetPicture", &plugin->getPicture, error) && ok;
  return ok;
}

bool LoadArchivePlugin(const std::string& directory, ArchivePlugin* plugin, std::string* error) {
  if (!OpenPlugin(directory, "axqrvnel", "00AM", &plugin->library, &plugin->path,
                  &plugin->about, error)) {
    return false;
  }
  error->clear();
  bool ok = Require(plugin->library, plugin->path, "IsSupported", &plugin->isSupported, error);
  ok = Require(plugin->library, plugin->path, "GetArchiveInfo", &plugin->getArchiveInfo, error) && ok;
  ok = Require(plugin->library, plugin->path, "GetFileInfo", &plugin->getFileInfo, error) && ok;
  ok = Require(plugin->library, plugin->path, "GetFile", &plugin->getFile, error) && ok;
  return ok;
}

bool OpenInput(const std::string& path, Input* input, Head* head, std::string* error) {
  input->path = path;
  input->inMemory = false;
  input->bytes.clear();
  head->fill(0);
  InputKind kind;
  if (!KindOfReadableInput(path, &kind, error)) return false;
  if (kind == InputKind::kStream) {
    if (!ReadWholeInput(path, &input->bytes, error)) return false;
    if (input->bytes.size() > static_cast<size_t>(INT32_MAX)) {
      *error = Shown(path) + ": too large to be read from a stream (2 GiB at most)";
      return false;
    }
    input->inMemory = true;
    // An empty stream has no buffer to copy from, not even of zero bytes.
    if (!input->bytes.empty()) {
      std::memcpy(head->data(), input->bytes.data(), std::min(head->size(), input->bytes.size()));
    }
    return true;
  }
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    *error = Shown(path) + ": cannot open: " + SystemReason(errno);
    return false;
  }
  std::fread(head->data(), 1, head->size(), file);
  const bool failed = std::ferror(file) != 0;
  const int readError = errno;
  std::fclose(file);
  if (failed) *error = Shown(path) + ": cannot read: " + SystemReason(readError);
  return !failed;
}

Source::Source(const Input& input, uint32_t offset)
    : input_(input), offset_(offset), name_(input.inMemory ? std::string() : input.path) {}

bool Accepts(IsSupportedFn isSupported, const Input& input, Head* head) {
  std::string name = input.path;
  return isSupported(name.data(), reinterpret_cast<uintptr_t>(head->data())) != 0;
}

uint32_t BitmapStride(int32_t width, int bitsPerPixel) {
  uint32_t rowBytes = static_cast<uint32_t>(width) * static_cast<uint32_t>(bitsPerPixel / 8);
  return (rowBytes + 3u) & ~3u;
}

int32_t DecodePicture(const ImagePlugin& plugin, const Input& input,
                      ProgressCallback progress, QrvUser user, Picture* picture,
                      std::string* problem) {
  Source source(input, 0);
  QrvBlock infoHandle = nullptr;
  QrvBlock bitsHandle = nullptr;
  int32_t rc = plugin.getPicture(source.src(), source.len(), source.flag(), &infoHandle,
                                 &bitsHandle, progress, user);
  if (rc != RC_OK) return rc;  // nothing was handed over
  HostBlock infoBlock(infoHandle);
  HostBlock bitsBlock(bitsHandle);
  const uint8_t* info = infoBlock.Lock();
  const uint8_t* bits = bitsBlock.Lock();
  if (info == nullptr || bits == nullptr) {
    *problem = "the plug-in handed over a block that cannot be read";
    return RC_INTERNAL_ERROR;
  }
  QrvBitmapHeader header;
  std::memcpy(&header, info, sizeof header);
  if (header.size != kBitmapHeaderSize || header.width <= 0 || header.height <= 0 ||
      (header.bit_count != 8 && header.bit_count != 24)) {
    *problem = "the plug-in handed over a bitmap header this host does not understand";
    return RC_INTERNAL_ERROR;
  }
  picture->width = header.width;
  picture->height = header.height;
  picture->bitsPerPixel = header.bit_count;
  picture->stride = BitmapStride(header.width, header.bit_count);
  size_t headerSize = kBitmapHeaderSize + (header.bit_count == 8 ? kColourTableSize : 0);
  size_t pixelSize = static_cast<size_t>(picture->stride) * static_cast<size_t>(header.height);
  // Windows tells the block sizes; elsewhere the header's word is taken as is.
  if ((infoBlock.KnownSize() != 0 && infoBlock.KnownSize() < headerSize) ||
      (bitsBlock.KnownSize() != 0 && bitsBlock.KnownSize() < pixelSize)) {
    *problem = "the plug-in handed over blocks smaller than its bitmap header says";
    return RC_INTERNAL_ERROR;
  }
  picture->header.assign(info, info + headerSize);
  picture->pixels.assign(bits, bits + pixelSize);
  return RC_OK;
}

int32_t ReadPictureInfo(const ImagePlugin& plugin, const Input& input, PictureInfo* info) {
  Source source(input, 0);
  return plugin.getPictureInfo(source.src(), source.len(), source.flag(), info);
}

int32_t ListArchive(const ArchivePlugin& plugin, const Input& input,
                    std::vector<FileInfo>* entries) {
  Source source(input, 0);
  QrvBlock listingHandle = nullptr;
  int32_t rc = plugin.getArchiveInfo(source.src(), source.len(), source.flag(), &listingHandle);
  if (rc != RC_OK) return rc;
  HostBlock listing(listingHandle);
  const uint8_t* records = listing.Lock();
  if (records == nullptr) return RC_MEMORY_ERROR;
  // The list ends at the first record whose first byte is 0; where the block's
  // size is known it bounds the walk too.
  size_t limit = listing.KnownSize() != 0 ? listing.KnownSize() / sizeof(FileInfo) : SIZE_MAX;
  entries->clear();
  for (size_t i = 0; i < limit && records[i * sizeof(FileInfo)] != 0; ++i) {
    FileInfo record;
    std::memcpy(&record, records + i * sizeof(FileInfo), sizeof record);
    entries->push_back(record);
  }
  return RC_OK;
}

std::string EntryName(const FileInfo& info) {
  size_t length = 0;
  while (length < sizeof info.file_name && info.file_name[length] != 0) ++length;
  return std::string(info.file_name, length);
}

}  // namespace qrv::host
