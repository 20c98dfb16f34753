// `qrv encode` and `qrv pack`: pictures and archives made with the project's
// writers, so that users can make files the plug-ins read.
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>

#include "archive_writer.h"
#include "bitmap_file.h"
#include "commands.h"
#include "messages.h"
#include "os_path.h"
#include "picture_writer.h"
#include "png_file.h"
#include "safe_output.h"

namespace qrv::host {
namespace fs = std::filesystem;

namespace {

// The whole file; false with `error` set for a missing, unreadable or
// directory path.
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error) {
  std::error_code ec;
  if (fs::is_directory(PathOf(path), ec)) {
    *error = path + ": is a directory, not a file";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = path + ": cannot open: " + std::strerror(errno);
    return false;
  }
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad()) {
    *error = path + ": cannot read";
    return false;
  }
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

}  // namespace

int RunEncode(Context& context) {
  if (context.args.positional.size() != 2) {
    ReportError("encode takes an input picture and an output file (see `qrv encode --help`)");
    return kExitUsage;
  }
  const std::string& input = context.args.positional[0];
  const std::string& output = context.args.positional[1];
  std::vector<uint8_t> bytes;
  std::string error;
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
    ReportError(input + ": neither a PNG nor a BMP file");
    return kExitFailed;
  }
  if (!(png ? DecodePng(bytes, &image, &error) : ParseBmp(bytes, &image, &error))) {
    ReportError(input + ": " + error);
    return kExitFailed;
  }
  int bitsPerPixel = 0;
  std::vector<uint8_t> samples;
  ToPictureSamples(image, &bitsPerPixel, &samples);
  std::vector<uint8_t> encoded;
  if (!writer::EncodePicture(image.width, image.height, bitsPerPixel, samples, &encoded, &error)) {
    ReportError(input + ": " + error);
    return kExitFailed;
  }
  if (!WriteFileSafely(output, encoded, &error)) {
    ReportError(error);
    return kExitFailed;
  }
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
  std::vector<writer::ArchiveEntry> entries;
  std::set<std::string> names;
  bool ok = true;
  std::string error;
  for (size_t i = 1; i < context.args.positional.size(); ++i) {
    const std::string& path = context.args.positional[i];
    writer::ArchiveEntry entry;
    entry.name = EntryNameFor(path);
    if (!ReadWholeFile(path, &entry.data, &error)) {
      ReportError(error);
      ok = false;
    } else if (entry.data.empty()) {
      ReportError(path + ": is empty, and an entry holds at least one byte");
      ok = false;
    } else if (std::string why = writer::CheckEntryName(entry.name); !why.empty()) {
      ReportError(path + ": cannot be stored as " + entry.name + ": " + why);
      ok = false;
    } else if (!names.insert(entry.name).second) {
      ReportError(path + ": another file is already stored as " + entry.name);
      ok = false;
    } else {
      entries.push_back(std::move(entry));
    }
  }
  if (!ok) return kExitFailed;
  std::vector<uint8_t> archive;
  if (!writer::WriteArchive(entries, &archive, &error)) {
    ReportError(output + ": " + error);
    return kExitFailed;
  }
  if (!WriteFileSafely(output, archive, &error)) {
    ReportError(error);
    return kExitFailed;
  }
  for (const writer::ArchiveEntry& entry : entries) {
    ReportDone(context, output + ": " + entry.name + " (" + std::to_string(entry.data.size()) +
                            " bytes)");
  }
  return kExitOk;
}

}  // namespace qrv::host
