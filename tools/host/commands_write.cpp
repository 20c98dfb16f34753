// `qrv encode` and `qrv pack`: pictures and archives made with the project's
// writers, so that users can make files the plug-ins read.
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>

#include "archive_writer.h"
#include "bitmap_file.h"
#include "commands.h"
#include "file_system.h"
#include "interrupt.h"
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

// Files are copied into the archive in pieces of this size.
constexpr size_t kCopyPiece = size_t{1} << 20;

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

// A file name as an entry name: lower case, anything outside 0-9, a-z and _
// becomes _.
std::string EntryNameFor(const std::string& path) {
  std::string name = NameOf(PathOf(path).filename());
  for (char& c : name) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || c == '_')) c = '_';
  }
  return name;
}

// A file to be stored: its path, entry name and size when checked.
struct PackItem {
  std::string path;
  std::string name;
  uint64_t size = 0;
};

// Copies one file into the archive piece by piece, so that memory stays small
// whatever the file's size. False with `error` set.
bool CopyInto(OutputFile* out, const PackItem& item, ProgressBar* bar, size_t job,
              std::string* error) {
  std::FILE* in = std::fopen(item.path.c_str(), "rb");
  if (in == nullptr) {
    *error = Shown(item.path) + ": cannot open: " + SystemReason(errno);
    return false;
  }
  std::vector<uint8_t> piece(kCopyPiece);
  uint64_t done = 0;
  bool ok = true;
  while (ok && done < item.size) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(piece.size(), item.size - done));
    size_t got = std::fread(piece.data(), 1, want, in);
    if (got != want) {
      *error = Shown(item.path) + (std::ferror(in) ? ": cannot read: " + SystemReason(errno)
                                                   : std::string(": the file shrank while it was read"));
      ok = false;
    } else {
      ok = out->Write(piece.data(), got, error);
      done += got;
      bar->Report(job, static_cast<int32_t>(done * 1000 / item.size), 1000);
    }
  }
  if (ok && std::fgetc(in) != EOF) {
    *error = Shown(item.path) + ": the file grew while it was read";
    ok = false;
  }
  std::fclose(in);
  return ok;
}

}  // namespace

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
  ToPictureSamples(image, &bitsPerPixel, &samples);
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
  ReportDone(context, output + ": " + std::to_string(image.width) + " x " +
                          std::to_string(image.height) + " pixels, " +
                          std::to_string(bitsPerPixel) + " bits per pixel");
  return kExitOk;
}

int RunPack(Context& context) {
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
  uint64_t total = 4;  // the end mark
  for (size_t i = 1; i < context.args.positional.size(); ++i) {
    PackItem item{context.args.positional[i], EntryNameFor(context.args.positional[i]), 0};
    std::string reason;
    InputKind kind = KindOfInput(item.path, &reason);
    std::error_code ec;
    if (kind == InputKind::kMissing) {
      ReportError(Shown(item.path) + ": cannot open: " + reason);
      ok = false;
    } else if (kind == InputKind::kDirectory) {
      ReportError(Shown(item.path) + ": is a directory, not a file");
      ok = false;
    } else if (kind == InputKind::kStream) {
      ReportError(Shown(item.path) + ": is not a regular file (a pipe or device cannot be stored)");
      ok = false;
    } else if ((item.size = fs::file_size(PathOf(item.path), ec)) == 0 || ec) {
      ReportError(Shown(item.path) + (ec ? ": cannot read: " + ec.message()
                                         : std::string(": is empty, and an entry holds at least one byte")));
      ok = false;
    } else if (std::string why = writer::CheckEntryName(item.name); !why.empty()) {
      ReportError(Shown(item.path) + ": cannot be stored as " + Shown(item.name) + ": " + why);
      ok = false;
    } else if (!names.insert(item.name).second) {
      ReportError(Shown(item.path) + ": another file is already stored as " + item.name);
      ok = false;
    } else {
      total += 10 + item.name.size() + item.size;
      items.push_back(item);
    }
  }
  if (!ok) return kExitFailed;
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
  for (size_t i = 0; i < items.size(); ++i) {
    std::vector<uint8_t> header =
        writer::EntryHeaderBytes(items[i].name, static_cast<uint32_t>(items[i].size));
    if (!out.Write(header.data(), header.size(), &error) ||
        !CopyInto(&out, items[i], &bar, i, &error)) {
      bar.Clear();
      if (!Interrupted()) ReportError(error);
      return kExitFailed;
    }
    bar.Finish(i);
  }
  const std::vector<uint8_t> endMark = writer::EndMarkBytes();
  if (!out.Write(endMark.data(), endMark.size(), &error) || !out.Commit(&error)) {
    bar.Clear();
    if (!Interrupted()) ReportError(error);
    return kExitFailed;
  }
  bar.Clear();
  for (const PackItem& item : items) {
    ReportDone(context, output + ": " + item.name + " (" + std::to_string(item.size) + " bytes)");
  }
  return kExitOk;
}

}  // namespace qrv::host
