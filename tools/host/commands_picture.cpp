// `qrv info` and `qrv convert`: pictures through the image plug-in (and, for
// info, archives through the archive plug-in).
#include <algorithm>
#include <cctype>
#include <atomic>
#include <filesystem>
#include <set>
#include <thread>

#include "bitmap_file.h"
#include "commands.h"
#include "file_system.h"
#include "interrupt.h"
#include "messages.h"
#include "os_path.h"
#include "png_file.h"
#include "progress.h"
#include "safe_output.h"
#include "pixel_limit.h"

namespace qrv::host {
namespace fs = std::filesystem;

namespace {

struct ConvertJob {
  std::string input;
  std::string output;
  std::string format;  // "png" or "bmp"
};

// Decodes one picture and writes it; false with `error` set.
bool ConvertOne(const ImagePlugin& plugin, const ConvertJob& job, uint64_t maxPixels,
                ProgressSlot* slot, std::string* error) {
  Head head;
  Input input;
  if (!OpenInput(job.input, &input, &head, error)) return false;
  if (!Accepts(plugin.isSupported, input, &head)) {
    *error = Shown(job.input) + ": not a Quorvanel CG picture";
    return false;
  }
  // The header's size is checked before the plug-in spends memory on it.
  PictureInfo info{};
  int32_t rc = ReadPictureInfo(plugin, input, &info);
  if (rc == RC_OK) {
    *error = CheckPixelCount(job.input, info.width, info.height, maxPixels);
    if (!error->empty()) return false;
  }
  Picture picture;
  std::string problem;
  if (rc == RC_OK) {
    rc = DecodePicture(plugin, input, ReportProgress, UserValue(slot), &picture, &problem);
  }
  if (rc != RC_OK) {
    *error = Shown(job.input) + ": " +
             (problem.empty() ? ResultMessage(rc, Doing::kPicture) : problem);
    return false;
  }
  std::vector<uint8_t> bytes;
  if (job.format == "bmp") {
    bytes = BuildBmp(picture);
  } else if (!EncodePng(PictureToImage(picture), &bytes, &problem)) {
    *error = job.output + ": " + problem;
    return false;
  }
  return WriteFileSafely(job.output, bytes, error);
}

// The output name in `directory` for `input`: its stem and the format's extension.
std::string OutputIn(const std::string& directory, const std::string& input,
                     const std::string& format) {
  return NameOf(PathOf(directory) / PathOf(input).filename().replace_extension("." + format));
}

bool PlanJobs(const Context& context, std::vector<ConvertJob>* jobs, std::string* error) {
  const std::vector<std::string>& inputs = context.args.positional;
  if (inputs.empty()) {
    *error = "convert needs a picture file (see `qrv convert --help`)";
    return false;
  }
  if (context.args.Has("output-dir")) {
    std::string directory = context.args.Value("output-dir");
    std::string format = context.args.Value("format", "png");
    std::transform(format.begin(), format.end(), format.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (format != "png" && format != "bmp") {
      *error = "unknown format " + format + " (png or bmp)";
      return false;
    }
    std::set<std::string> seen;
    for (const std::string& input : inputs) {
      ConvertJob job{input, OutputIn(directory, input, format), format};
      if (!seen.insert(job.output).second) {
        *error = "two inputs would both be written to " + job.output;
        return false;
      }
      jobs->push_back(job);
    }
    return true;
  }
  if (context.args.Has("format")) {
    *error = "--format goes with -o DIR; otherwise OUT's extension gives the format";
    return false;
  }
  if (inputs.size() > 2) {
    *error = "several pictures need -o DIR (see `qrv convert --help`)";
    return false;
  }
  ConvertJob job;
  job.input = inputs[0];
  if (IsStandardInput(job.input) && inputs.size() < 2) {
    *error = "a picture read from standard input needs OUT (see `qrv convert --help`)";
    return false;
  }
  job.output = inputs.size() == 2 ? inputs[1]
                                  : NameOf(PathOf(inputs[0]).replace_extension(".png"));
  job.format = FormatOf(job.output);
  if (job.format.empty()) {
    *error = "cannot tell the output format of " + job.output +
             ": name it .png or .bmp (several pictures need -o DIR)";
    return false;
  }
  jobs->push_back(job);
  return true;
}

// No output may be one of the inputs, however it is spelled: checked by file
// identity before anything is written.
bool RefuseOverwritingInputs(const std::vector<ConvertJob>& jobs, std::string* error) {
  std::vector<std::pair<FileIdentity, const std::string*>> inputs;
  for (const ConvertJob& job : jobs) {
    FileIdentity identity;
    if (IdentifyFile(job.input, &identity)) inputs.emplace_back(identity, &job.input);
  }
  for (const ConvertJob& job : jobs) {
    FileIdentity identity;
    const std::string* replaced = nullptr;
    if (PathOf(job.output) == PathOf(job.input)) {
      replaced = &job.input;
    } else if (IdentifyFile(job.output, &identity)) {
      for (const auto& input : inputs) {
        if (input.first == identity) replaced = input.second;
      }
    }
    if (replaced != nullptr) {
      *error = Shown(*replaced) + ": the output " + Shown(job.output) +
               " would replace the input; nothing was written";
      return false;
    }
  }
  return true;
}

unsigned JobCount(const Context& context, size_t jobs, std::string* error) {
  unsigned threads = std::max(1u, std::thread::hardware_concurrency());
  if (context.args.Has("jobs")) {
    std::string text = context.args.Value("jobs");
    char* end = nullptr;
    long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != 0 || value < 1 || value > 256) {
      *error = "-j needs a number of jobs from 1 to 256, not " + text;
      return 0;
    }
    threads = static_cast<unsigned>(value);
  }
  return static_cast<unsigned>(std::min<size_t>(threads, jobs));
}

}  // namespace

int RunConvert(Context& context) {
  std::vector<ConvertJob> jobs;
  std::string error;
  if (!PlanJobs(context, &jobs, &error) || !RefuseOverwritingInputs(jobs, &error)) {
    ReportError(error);
    return kExitUsage;
  }
  unsigned threads = JobCount(context, jobs.size(), &error);
  uint64_t maxPixels = 0;
  if (threads == 0 || !MaxPixels(context, &maxPixels, &error)) {
    ReportError(error);
    return kExitUsage;
  }
  if (!PngAvailable() && std::any_of(jobs.begin(), jobs.end(),
                                     [](const ConvertJob& job) { return job.format == "png"; })) {
    ReportError("PNG files are not supported by this build of qrv (write .bmp instead)");
    return kExitFailed;
  }
  ImagePlugin plugin;
  if (!LoadImagePlugin(context.pluginDirectory, &plugin, &error)) {
    ReportError(error);
    return kExitFailed;
  }
  if (context.args.Has("output-dir")) {
    std::string directory = context.args.Value("output-dir");
    if (!MakeDirectories(directory, &error)) {
      ReportError(error);
      return kExitFailed;
    }
    RemoveStaleScratch(directory);
  }

  ProgressBar bar(context.showProgress, "converting", jobs.size());
  std::vector<ProgressSlot> slots(jobs.size());
  std::atomic<size_t> next{0};
  std::atomic<bool> anyFailed{false};
  // The plug-in keeps no state between calls, so workers share it freely.
  auto work = [&]() {
    for (size_t i = next++; i < jobs.size() && !Interrupted(); i = next++) {
      slots[i] = ProgressSlot{&bar, i};
      std::string message;
      bool ok = ConvertOne(plugin, jobs[i], maxPixels, &slots[i], &message);
      bar.Finish(i);
      if (ok) {
        ReportDone(context, jobs[i].input + " -> " + jobs[i].output);
      } else if (!Interrupted()) {
        anyFailed = true;
        bar.Clear();
        ReportError(message);
      }
    }
  };
  std::vector<std::thread> workers;
  for (unsigned t = 1; t < threads; ++t) workers.emplace_back(work);
  work();
  for (std::thread& worker : workers) worker.join();
  bar.Clear();
  return anyFailed ? kExitFailed : kExitOk;
}

int RunInfo(Context& context) {
  if (context.args.positional.empty()) {
    ReportError("info needs at least one file (see `qrv info --help`)");
    return kExitUsage;
  }
  ImagePlugin image;
  ArchivePlugin archive;
  std::string error;
  if (!LoadImagePlugin(context.pluginDirectory, &image, &error) ||
      !LoadArchivePlugin(context.pluginDirectory, &archive, &error)) {
    ReportError(error);
    return kExitFailed;
  }
  bool anyFailed = false;
  for (const std::string& path : context.args.positional) {
    Head head;
    Input input;
    if (!OpenInput(path, &input, &head, &error)) {
      ReportError(error);
      anyFailed = true;
      continue;
    }
    if (Accepts(image.isSupported, input, &head)) {
      PictureInfo info{};
      int32_t rc = ReadPictureInfo(image, input, &info);
      if (rc != RC_OK) {
        ReportError(Shown(path) + ": " + ResultMessage(rc, Doing::kPictureInfo));
        anyFailed = true;
        continue;
      }
      std::printf("%s: Quorvanel CG picture (%s), %d x %d pixels, %d bits per pixel\n",
                  Shown(path).c_str(), NameOf(PathOf(image.path).filename()).c_str(), info.width,
                  info.height, info.colour_depth);
    } else if (Accepts(archive.isSupported, input, &head)) {
      std::vector<FileInfo> entries;
      int32_t rc = ListArchive(archive, input, &entries);
      if (rc != RC_OK) {
        ReportError(Shown(path) + ": " + ResultMessage(rc, Doing::kListing));
        anyFailed = true;
        continue;
      }
      uint64_t total = 0;
      for (const FileInfo& entry : entries) total += entry.size;
      std::printf("%s: Quorvanel Archive (%s), %zu %s, %llu bytes of data\n", Shown(path).c_str(),
                  NameOf(PathOf(archive.path).filename()).c_str(), entries.size(),
                  entries.size() == 1 ? "entry" : "entries",
                  static_cast<unsigned long long>(total));
    } else {
      ReportError(Shown(path) + ": neither a Quorvanel CG picture nor a Quorvanel Archive");
      anyFailed = true;
    }
  }
  return anyFailed ? kExitFailed : kExitOk;
}

}  // namespace qrv::host
