// `qrv encode` and `qrv pack`: pictures and archives made with the project's
// writers, so that users can make files the plug-ins read.
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <set>

#include "archive_writer.h"
#include "bitmap_file.h"
#include "commands.h"
#include "file_system.h"
#include "interrupt.h"
#include "manifest.h"
#include "messages.h"
#include "os_path.h"
#include "picture_writer.h"
#include "pixel_limit.h"
#include "png_file.h"
#include "progress.h"
#include "safe_output.h"

namespace qrv::host {
namespace fs = std::filesystem;

namespace {

// The whole input; false with `error` set for a missing, unreadable or
// directory path.
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error) {
  InputKind kind;
  return KindOfReadableInput(path, &kind, error) && ReadWholeInput(path, bytes, error);
}

// The width and height a PNG or BMP header claims; false when the header is
// too short to say (the decoder then reports what is wrong).
bool ClaimedSize(const std::vector<uint8_t>& bytes, bool png, int64_t* width, int64_t* height) {
  auto le32 = [&](size_t at) {
    return static_cast<int32_t>(bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 |
                                static_cast<uint32_t>(bytes[at + 3]) << 24);
  };
  auto be32 = [&](size_t at) {
    return static_cast<uint32_t>(bytes[at]) << 24 | bytes[at + 1] << 16 | bytes[at + 2] << 8 |
           bytes[at + 3];
  };
  if (png) {
    if (bytes.size() < 24) return false;
    *width = be32(16);
    *height = be32(20);
    return true;
  }
  if (bytes.size() < 26) return false;
  *width = le32(18);
  *height = le32(22);
  if (*height < 0) *height = -*height;  // a top-down bitmap
  return true;
}

// The samples the picture writer takes: grey levels stay 8-bit, a coloured
// table is looked up into blue, green, red.
void ToPictureSamples(const Image& image, int* bitsPerPixel, std::vector<uint8_t>* samples) {
  if (image.channels == 1 && (image.colourTable.empty() || IsGreyRamp(image.colourTable))) {
    *bitsPerPixel = 8;
    *samples = image.samples;
    return;
  }
  *bitsPerPixel = 24;
  if (image.channels == 3) {
    *samples = image.samples;
    return;
  }
  samples->resize(image.samples.size() * 3);
  for (size_t i = 0; i < image.samples.size(); ++i) {
    std::memcpy(&(*samples)[i * 3], &image.colourTable[image.samples[i] * 4u], 3);
  }
}

// The size and depth of the picture that --like names, from its header
// through the image plug-in. False after reporting why not.
bool ReadLikeInfo(const Context& context, const std::string& path, PictureInfo* info) {
  ImagePlugin plugin;
  Input input;
  Head head;
  std::string error;
  if (!LoadImagePlugin(context.pluginDirectory, &plugin, &error) ||
      !OpenInput(path, &input, &head, &error)) {
    ReportError(error);
    return false;
  }
  if (!Accepts(plugin.isSupported, input, &head)) {
    ReportError(Shown(path) + ": not a Quorvanel CG picture (--like names the original picture)");
    return false;
  }
  int32_t rc = ReadPictureInfo(plugin, input, info);
  if (rc != RC_OK) {
    ReportError(Shown(path) + ": " + ResultMessage(rc, Doing::kPictureInfo));
    return false;
  }
  return true;
}

// The samples of `image` at `depth` bits per pixel, for --like: grey levels
// are widened to 24 bits without loss (`widened` is then set), but a coloured
// pixel cannot be stored at 8. False with `error` naming the first such pixel.
bool SamplesAtDepth(const Image& image, int depth, std::vector<uint8_t>* samples, bool* widened,
                    std::string* error) {
  int bits = 0;
  std::vector<uint8_t> natural;
  ToPictureSamples(image, &bits, &natural);
  *widened = bits < depth;
  if (bits == depth) {
    *samples = std::move(natural);
  } else if (depth == 24) {
    samples->resize(natural.size() * 3);
    for (size_t i = 0; i < natural.size(); ++i) std::memset(&(*samples)[i * 3], natural[i], 3);
  } else {
    samples->resize(natural.size() / 3);
    for (size_t i = 0; i < samples->size(); ++i) {
      const uint8_t* bgr = &natural[i * 3];
      if (bgr[0] != bgr[1] || bgr[1] != bgr[2]) {
        *error = "the pixel at (" + std::to_string(i % image.width) + ", " +
                 std::to_string(i / image.width) + ") has the colour red " + std::to_string(bgr[2]) +
                 ", green " + std::to_string(bgr[1]) + ", blue " + std::to_string(bgr[0]) +
                 ", which an 8-bit grey picture cannot hold";
        return false;
      }
      (*samples)[i] = bgr[0];
    }
  }
  return true;
}

// A file name as an entry name.
std::string EntryNameFor(const std::string& path) {
  return StorableEntryName(NameOf(PathOf(path).filename()));
}

// A file to be stored: its path, entry name and size when checked.
struct PackItem {
  std::string path;
  std::string name;
  uint64_t size = 0;
  uint32_t secondWord = 0;
  // From a manifest: what was extracted, to tell whether the file changed.
  std::optional<uint64_t> recordedSize;
  std::optional<uint32_t> recordedCrc;
};

// Checks that a file can be stored (a regular file of at least one byte) and
// notes its size. Empty when it can, else why not.
std::string CheckPackFile(PackItem* item) {
  std::string reason;
  InputKind kind = KindOfInput(item->path, &reason);
  std::error_code ec;
  if (kind == InputKind::kMissing) return Shown(item->path) + ": cannot open: " + reason;
  if (kind == InputKind::kDirectory) return Shown(item->path) + ": is a directory, not a file";
  if (kind == InputKind::kStream) {
    return Shown(item->path) + ": is not a regular file (a pipe or device cannot be stored)";
  }
  item->size = fs::file_size(PathOf(item->path), ec);
  if (ec) return Shown(item->path) + ": cannot read: " + ec.message();
  if (item->size == 0) return Shown(item->path) + ": is empty, and an entry holds at least one byte";
  return {};
}

// Writes the archive of `items`, checked before, to `output`; the exit status.
int WritePack(const Context& context, const std::string& output,
              const std::vector<PackItem>& items) {
  uint64_t total = 4;  // the end mark
  for (const PackItem& item : items) total += 10 + item.name.size() + item.size;
  if (total > writer::kMaxArchiveBytes) {
    ReportError(Shown(output) + ": the archive would reach 2^31 bytes, more than it can hold");
    return kExitFailed;
  }
  std::string error;
  OutputFile out;
  if (!out.Open(output, &error)) {
    ReportError(error);
    return kExitFailed;
  }
  ProgressBar bar(context.showProgress, "packing", items.size());
  std::vector<bool> changed(items.size());
  for (size_t i = 0; i < items.size(); ++i) {
    const PackItem& item = items[i];
    std::vector<uint8_t> header =
        writer::EntryHeaderBytes(item.name, static_cast<uint32_t>(item.size), item.secondWord);
    auto progress = [&](uint64_t done) {
      bar.Report(i, static_cast<int32_t>(done * 1000 / item.size), 1000);
    };
    uint32_t crc = 0;
    if (!out.Write(header.data(), header.size(), &error) ||
        !CopyFileInto(&out, item.path, item.size, progress, &crc, &error)) {
      bar.Clear();
      if (!Interrupted()) ReportError(error);
      return kExitFailed;
    }
    changed[i] = (item.recordedSize && *item.recordedSize != item.size) ||
                 (item.recordedCrc && *item.recordedCrc != crc);
    bar.Finish(i);
  }
  const std::vector<uint8_t> endMark = writer::EndMarkBytes();
  if (!out.Write(endMark.data(), endMark.size(), &error) || !out.Commit(&error)) {
    bar.Clear();
    if (!Interrupted()) ReportError(error);
    return kExitFailed;
  }
  bar.Clear();
  for (size_t i = 0; i < items.size(); ++i) {
    ReportDone(context, output + ": " + items[i].name + " (" + ByteCount(items[i].size) +
                            (changed[i] ? ", changed" : "") + ")");
  }
  return kExitOk;
}

// `qrv pack --manifest FILE OUT`: the entries, names, order and second words
// of the manifest, the data of the files it names now.
int PackFromManifest(const Context& context) {
  if (context.args.positional.size() != 1) {
    ReportError("pack --manifest takes the output archive alone; the manifest names the files "
                "(see `qrv pack --help`)");
    return kExitUsage;
  }
  const std::string manifestPath = context.args.Value("manifest");
  const std::string& output = context.args.positional[0];
  if (SameFile(manifestPath, output)) {
    ReportError(Shown(manifestPath) + ": the output " + Shown(output) +
                " would replace this input; nothing was written");
    return kExitUsage;
  }
  std::string error;
  std::vector<uint8_t> bytes;
  if (!ReadWholeFile(manifestPath, &bytes, &error)) {
    ReportError(error);
    return kExitFailed;
  }
  Manifest manifest;
  std::vector<std::string> errors;
  if (!ParseManifest(manifestPath, std::string(bytes.begin(), bytes.end()), &manifest, &errors)) {
    for (const std::string& message : errors) ReportError(message);
    return kExitFailed;
  }
  // Files are named relative to the manifest's own folder.
  const fs::path folder = PathOf(manifestPath).parent_path();
  std::vector<PackItem> items;
  bool ok = true;
  for (size_t i = 0; i < manifest.entries.size(); ++i) {
    const ManifestEntry& entry = manifest.entries[i];
    PackItem item{NameOf(folder / PathOf(entry.file)), entry.name, 0, entry.secondWord,
                  entry.size, entry.crc32};
    if (std::string why = CheckPackFile(&item); !why.empty()) {
      ReportError(EntryPlace(manifestPath, entry.line, i, entry.name) + ": " + why);
      ok = false;
    }
    items.push_back(item);
  }
  if (!ok) return kExitFailed;
  for (const PackItem& item : items) {
    if (SameFile(item.path, output)) {
      ReportError(Shown(item.path) + ": the output " + Shown(output) +
                  " would replace this input; nothing was written");
      return kExitUsage;
    }
  }
  return WritePack(context, output, items);
}

}  // namespace

std::string StorableEntryName(const std::string& text) {
  std::string name = text;
  for (char& c : name) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || c == '_')) c = '_';
  }
  return name;
}

int RunEncode(Context& context) {
  if (context.args.positional.size() != 2) {
    ReportError("encode takes an input picture and an output file (see `qrv encode --help`)");
    return kExitUsage;
  }
  const std::string& input = context.args.positional[0];
  const std::string& output = context.args.positional[1];
  std::string error;
  uint64_t maxPixels = 0;
  if (!MaxPixels(context, &maxPixels, &error)) {
    ReportError(error);
    return kExitUsage;
  }
  if (SameFile(input, output)) {
    ReportError(Shown(input) + ": the output " + Shown(output) +
                " would replace the input; nothing was written");
    return kExitUsage;
  }
  const bool like = context.args.Has("like");
  const std::string original = context.args.Value("like");
  if (like && SameFile(original, output)) {
    ReportError(Shown(original) + ": the output " + Shown(output) +
                " would replace this input; nothing was written");
    return kExitUsage;
  }
  PictureInfo likeInfo{};
  if (like && !ReadLikeInfo(context, original, &likeInfo)) return kExitFailed;
  ProgressBar bar(context.showProgress, "encoding", 1);
  std::vector<uint8_t> bytes;
  if (!ReadWholeFile(input, &bytes, &error)) {
    ReportError(error);
    return kExitFailed;
  }
  Image image;
  // The content decides, whatever the extension says.
  const bool png = bytes.size() >= 4 && bytes[0] == 0x89 && bytes[1] == 'P' && bytes[2] == 'N' &&
                   bytes[3] == 'G';
  const bool bmp = bytes.size() >= 2 && bytes[0] == 'B' && bytes[1] == 'M';
  if (!png && !bmp) {
    ReportError(Shown(input) + ": neither a PNG nor a BMP file");
    return kExitFailed;
  }
  int64_t width = 0;
  int64_t height = 0;
  if (ClaimedSize(bytes, png, &width, &height)) {
    error = CheckPixelCount(input, width, height, maxPixels);
    if (!error.empty()) {
      ReportError(error);
      return kExitFailed;
    }
  }
  bar.Report(0, 1, 4);
  if (!(png ? DecodePng(bytes, &image, &error) : ParseBmp(bytes, &image, &error))) {
    ReportError(Shown(input) + ": " + error);
    return kExitFailed;
  }
  bar.Report(0, 2, 4);
  int bitsPerPixel = 0;
  std::vector<uint8_t> samples;
  bool widened = false;
  if (!like) {
    ToPictureSamples(image, &bitsPerPixel, &samples);
  } else {
    if (image.width != static_cast<uint32_t>(likeInfo.width) ||
        image.height != static_cast<uint32_t>(likeInfo.height)) {
      ReportError(Shown(input) + ": " + std::to_string(image.width) + " x " +
                  std::to_string(image.height) + " pixels, but " + Shown(original) + " has " +
                  std::to_string(likeInfo.width) + " x " + std::to_string(likeInfo.height) +
                  "; --like keeps the original's size, which the host expects");
      return kExitFailed;
    }
    bitsPerPixel = likeInfo.colour_depth;
    if (!SamplesAtDepth(image, bitsPerPixel, &samples, &widened, &error)) {
      ReportError(Shown(input) + ": " + error + " (" + Shown(original) +
                  " is one, and --like keeps its depth, which the host expects)");
      return kExitFailed;
    }
  }
  std::vector<uint8_t> encoded;
  if (!writer::EncodePicture(image.width, image.height, bitsPerPixel, samples, &encoded, &error)) {
    ReportError(Shown(input) + ": " + error);
    return kExitFailed;
  }
  bar.Report(0, 3, 4);
  if (!WriteFileSafely(output, encoded, &error)) {
    ReportError(error);
    return kExitFailed;
  }
  bar.Finish(0);
  bar.Clear();
  if (widened) {
    ReportWarning(Shown(input) + " is grey; written at 24 bits per pixel like " + Shown(original));
  }
  ReportDone(context, output + ": " + std::to_string(image.width) + " x " +
                          std::to_string(image.height) + " pixels, " +
                          std::to_string(bitsPerPixel) + " bits per pixel");
  return kExitOk;
}

int RunPack(Context& context) {
  if (context.args.Has("manifest")) return PackFromManifest(context);
  if (context.args.positional.size() < 2) {
    ReportError("pack takes an output archive and at least one file (see `qrv pack --help`)");
    return kExitUsage;
  }
  const std::string& output = context.args.positional[0];
  for (size_t i = 1; i < context.args.positional.size(); ++i) {
    if (SameFile(context.args.positional[i], output)) {
      ReportError(Shown(context.args.positional[i]) + ": the output " + Shown(output) +
                  " would replace this input; nothing was written");
      return kExitUsage;
    }
  }
  // Every file is checked before the archive is begun.
  std::vector<PackItem> items;
  std::set<std::string> names;
  bool ok = true;
  for (size_t i = 1; i < context.args.positional.size(); ++i) {
    PackItem item;
    item.path = context.args.positional[i];
    item.name = EntryNameFor(item.path);
    if (std::string why = CheckPackFile(&item); !why.empty()) {
      ReportError(why);
      ok = false;
    } else if (std::string invalid = writer::CheckEntryName(item.name); !invalid.empty()) {
      ReportError(Shown(item.path) + ": cannot be stored as " + Shown(item.name) + ": " + invalid);
      ok = false;
    } else if (!names.insert(item.name).second) {
      ReportError(Shown(item.path) + ": another file is already stored as " + item.name);
      ok = false;
    } else {
      items.push_back(item);
    }
  }
  if (!ok) return kExitFailed;
  return WritePack(context, output, items);
}

}  // namespace qrv::host
