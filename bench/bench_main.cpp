// The benchmark: decodes the same pictures through the built image filter (as
// a host loads it), QOI, libspng and libpng in alternating rounds in one process,
// beside memcpy and a fresh zero-filled allocation as the physical limits; then
// lists and extracts archives through the built archive extractor. Prints
// median MB/s with the interquartile range, the ratios the targets are stated
// in, and the peak memory of a child process that only decodes.
//
// MB/s counts decoded bytes (width x height x bytes per pixel; row padding is
// not counted) in units of 10^6 bytes. A target is reported as met or missed;
// the exit code only says whether everything ran and decoded correctly.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "archive_writer.h"
#include "host_os.h"
#include "picture_writer.h"
#include "pictures.h"
#include "plugin_library.h"
#include "qrvnel.h"
#if QRV_BENCH_HAVE_PNG
#include "png_codecs.h"
#endif
#if QRV_BENCH_HAVE_QOI
#include "qoi_codec.h"
#endif

namespace fs = std::filesystem;

namespace qrv::bench {

namespace {

constexpr double kMiB = 1024.0 * 1024.0;

struct Options {
  bool quick = false;
  std::string saveDir;  // --save: write the pictures there and stop
  bool archives = true;
  std::vector<std::string> only;  // picture names; empty = all
  int pictureRounds = 15;
  int archiveRounds = 9;
};

struct Plugins {
  PluginLibrary image;
  PluginLibrary archive;
  GetPictureFn getPicture = nullptr;
  GetArchiveInfoFn getArchiveInfo = nullptr;
  GetFileFn getFile = nullptr;
};

struct Stats {
  double median = 0, q1 = 0, q3 = 0;
};

Stats Summarise(std::vector<double> values) {
  Stats stats;
  if (values.empty()) return stats;
  std::sort(values.begin(), values.end());
  auto at = [&](double fraction) {
    double index = fraction * double(values.size() - 1);
    size_t low = static_cast<size_t>(std::floor(index));
    size_t high = std::min(low + 1, values.size() - 1);
    return values[low] + (values[high] - values[low]) * (index - double(low));
  };
  stats.median = at(0.5);
  stats.q1 = at(0.25);
  stats.q3 = at(0.75);
  return stats;
}

double Now() {
  using Clock = std::chrono::steady_clock;
  return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

// One measured operation: its label, how many bytes (or entries) one run
// produces, and the seconds per run of every round.
struct Series {
  Series(std::string name, double units, std::function<void()> operation)
      : label(std::move(name)), unitsPerRun(units), run(std::move(operation)) {}

  std::string label;
  double unitsPerRun;
  std::function<void()> run;
  std::vector<double> seconds;

  std::vector<double> Rates() const {
    std::vector<double> rates;
    for (double s : seconds) rates.push_back(unitsPerRun / s);
    return rates;
  }
};

// Runs every series once per round, rotating the order from round to round so
// that none always runs first (cold) or after the same neighbour. A run shorter
// than `minSeconds` is repeated and averaged.
void RunRounds(std::vector<Series>* series, int rounds, double minSeconds) {
  std::vector<int> repeats(series->size(), 1);
  for (size_t i = 0; i < series->size(); ++i) {
    double start = Now();
    (*series)[i].run();  // warm-up, and the size of one run
    double once = Now() - start;
    if (once < minSeconds) repeats[i] = static_cast<int>(std::ceil(minSeconds / std::max(once, 1e-7)));
  }
  for (int round = 0; round < rounds; ++round) {
    for (size_t k = 0; k < series->size(); ++k) {
      size_t i = (k + static_cast<size_t>(round)) % series->size();
      Series& s = (*series)[i];
      double start = Now();
      for (int r = 0; r < repeats[i]; ++r) s.run();
      s.seconds.push_back((Now() - start) / repeats[i]);
    }
  }
}

// Ratio of two series' rates, round by round.
Stats RatioByRound(const Series& numerator, const Series& denominator) {
  std::vector<double> ratios;
  for (size_t i = 0; i < numerator.seconds.size() && i < denominator.seconds.size(); ++i)
    ratios.push_back((numerator.unitsPerRun / numerator.seconds[i]) /
                     (denominator.unitsPerRun / denominator.seconds[i]));
  return Summarise(ratios);
}

void PrintRate(const Series& s, double scale, const char* unit) {
  Stats stats = Summarise(s.Rates());
  std::printf("  %-34s %10.1f %s   (%.1f .. %.1f)\n", s.label.c_str(), stats.median / scale,
              unit, stats.q1 / scale, stats.q3 / scale);
}

struct Target {
  std::string what;
  std::string measured;
  bool met;
};
std::vector<Target> g_targets;

void AddTarget(const std::string& what, const std::string& measured, bool met) {
  g_targets.push_back({what, measured, met});
  std::printf("  target %-44s %s: %s\n", what.c_str(), measured.c_str(), met ? "met" : "MISSED");
}

std::string Format(const char* format, double a, double b = 0, double c = 0) {
  char text[128];
  std::snprintf(text, sizeof text, format, a, b, c);
  return text;
}

[[noreturn]] void Fail(const std::string& message) { throw std::runtime_error(message); }

std::vector<uint8_t> ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) Fail("cannot open " + path);
  in.seekg(0, std::ios::end);
  std::vector<uint8_t> bytes(static_cast<size_t>(in.tellg()));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!in) Fail("cannot read " + path);
  return bytes;
}

void WriteWholeFile(const fs::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) Fail("cannot write " + path.string());
}

void LoadPlugins(Plugins* plugins, bool wantArchive) {
  const std::string dir = ProgramDirectory();
  if (!plugins->image.Open(dir + PluginFileName("ifqrvnel")))
    Fail("cannot load the image filter: " + plugins->image.error());
  plugins->getPicture = plugins->image.Get<GetPictureFn>("GetPicture");
  if (plugins->getPicture == nullptr) Fail("the image filter has no GetPicture");
  if (!wantArchive) return;
  if (!plugins->archive.Open(dir + PluginFileName("axqrvnel")))
    Fail("cannot load the archive extractor: " + plugins->archive.error());
  plugins->getArchiveInfo = plugins->archive.Get<GetArchiveInfoFn>("GetArchiveInfo");
  plugins->getFile = plugins->archive.Get<GetFileFn>("GetFile");
  if (plugins->getArchiveInfo == nullptr || plugins->getFile == nullptr)
    Fail("the archive extractor lacks GetArchiveInfo or GetFile");
}

// One GetPicture call; on success both blocks are the caller's.
int32_t CallGetPicture(const Plugins& plugins, const char* src, size_t len, uint32_t flag,
                       QrvBlock* info, QrvBlock* bits) {
  *info = nullptr;
  *bits = nullptr;
  return plugins.getPicture(const_cast<char*>(src), static_cast<int32_t>(len), flag, info,
                            bits, nullptr, 0);
}

// Decodes through the filter, checks the result against the samples, frees.
void DecodeAndCheck(const Plugins& plugins, const Picture& picture, const char* src,
                    size_t len, uint32_t flag, bool check) {
  QrvBlock info;
  QrvBlock bits;
  int32_t rc = CallGetPicture(plugins, src, len, flag, &info, &bits);
  if (rc != RC_OK) Fail("GetPicture of " + picture.name + " answered " + std::to_string(rc));
  if (check) {
    const size_t rowBytes = size_t{picture.width} * picture.BytesPerPixel();
    const size_t stride = (rowBytes + 3) / 4 * 4;
    const uint8_t* pixels = LockHostBlock(bits);
    for (uint32_t y = 0; y < picture.height; ++y) {
      const uint8_t* row = pixels + size_t{picture.height - 1 - y} * stride;
      if (std::memcmp(row, picture.samples.data() + y * rowBytes, rowBytes) != 0)
        Fail("GetPicture of " + picture.name + " differs in row " + std::to_string(y));
    }
    UnlockHostBlock(bits);
  }
  FreeHostBlock(info);
  FreeHostBlock(bits);
}

// Peak memory of a child that only decodes `path`: resident KiB above the
// child's own start, or -1.
int64_t MeasureDecodePeak(const std::string& path, bool fileSource) {
  std::vector<std::string> arguments = {"--decode-only", path};
  if (fileSource) arguments.push_back("--file-source");
  std::string output;
  if (!RunChild(SelfPath(), arguments, &output)) return -1;
  long long baseline = -1, peak = -1;
  if (std::sscanf(output.c_str(), "baseline_kib %lld peak_kib %lld", &baseline, &peak) != 2)
    return -1;
  return baseline >= 0 && peak >= 0 ? peak - baseline : -1;
}

#if !defined(_WIN32)
// GetPicture and calloc + first touch of the picture's size in a child whose
// large allocations are all fresh pages (AllocateLargeBlocksFresh), `rounds`
// alternating rounds: their median rates in MB/s and their ratio round by
// round. False where that cannot be measured.
bool MeasureFreshPages(const std::string& path, double pixelBytes, int rounds, double* getRate,
                       double* limitRate, Stats* ratio) {
  std::string output;
  if (!RunChild(SelfPath(),
                {"--fresh-pages", path, std::to_string(static_cast<long long>(pixelBytes)),
                 std::to_string(rounds)},
                &output))
    return false;
  std::vector<double> gets, limits, ratios;
  size_t at = 0;
  double get = 0, limit = 0;
  int used = 0;
  while (std::sscanf(output.c_str() + at, " round %lf %lf%n", &get, &limit, &used) == 2) {
    at += static_cast<size_t>(used);
    gets.push_back(pixelBytes / get / 1e6);
    limits.push_back(pixelBytes / limit / 1e6);
    ratios.push_back(limit / get);
  }
  if (gets.empty()) return false;
  *getRate = Summarise(gets).median;
  *limitRate = Summarise(limits).median;
  *ratio = Summarise(ratios);
  return true;
}
#endif

void BenchPicture(const Picture& picture, const Plugins& plugins, const Options& options,
                  const fs::path& dir, double targetRatio, double qoiTarget, double freshTarget) {
  std::vector<uint8_t> qrvFile;
  std::string error;
  double start = Now();
  if (!writer::EncodePicture(picture.width, picture.height, picture.bitsPerPixel,
                             picture.samples, &qrvFile, &error))
    Fail("picture writer: " + error);
  const double qrvEncodeSeconds = Now() - start;
  const fs::path qrvPath = dir / (picture.name + ".qrv");
  WriteWholeFile(qrvPath, qrvFile);
  const std::string qrvPathText = qrvPath.string();
  const double pixelBytes = double(picture.PixelBytes());
  const size_t stride = (size_t{picture.width} * picture.BytesPerPixel() + 3) / 4 * 4;
  const double pixelBlock = double(stride) * picture.height;

  std::printf("\n%s: %ux%u, %d bits, %.0f pixel bytes\n", picture.name.c_str(), picture.width,
              picture.height, picture.bitsPerPixel, pixelBytes);
  std::printf("  Quorvanel CG file %zu bytes (%.2f bits/sample), written in %.2f s\n",
              qrvFile.size(), 8.0 * double(qrvFile.size()) / pixelBytes, qrvEncodeSeconds);

  const char* memorySrc = reinterpret_cast<const char*>(qrvFile.data());
  DecodeAndCheck(plugins, picture, memorySrc, qrvFile.size(), QRV_INPUT_MEMORY, true);
  DecodeAndCheck(plugins, picture, qrvPathText.c_str(), 0, QRV_INPUT_FILE, true);

  std::vector<Series> series;
  series.push_back({"GetPicture, memory source", pixelBytes, [&] {
                      DecodeAndCheck(plugins, picture, memorySrc, qrvFile.size(),
                                     QRV_INPUT_MEMORY, false);
                    }});
  series.push_back({"GetPicture, file source", pixelBytes, [&] {
                      DecodeAndCheck(plugins, picture, qrvPathText.c_str(), 0, QRV_INPUT_FILE,
                                     false);
                    }});
#if QRV_BENCH_HAVE_QOI
  // QOI, the fastest simple lossless peer: encoded once, decoded from memory
  // into a block of its own per decode.
  size_t qoiSeries = 0;
  std::vector<uint8_t> qoi;
  if (QoiHolds(picture)) {
    start = Now();
    qoi = EncodeQoi(picture);
    std::printf("  QOI file %zu bytes (%.2f bits/sample), encoded in %.2f s\n", qoi.size(),
                8.0 * double(qoi.size()) / pixelBytes, Now() - start);
    uint8_t* decoded = DecodeQoi(qoi, &error);
    if (decoded == nullptr) Fail(error);
    const bool same = std::memcmp(decoded, picture.samples.data(), picture.PixelBytes()) == 0;
    free(decoded);
    if (!same) Fail("QOI differs");
    qoiSeries = series.size();
    series.push_back({"QOI, memory", pixelBytes, [&qoi] {
                        std::string failure;
                        uint8_t* pixels = DecodeQoi(qoi, &failure);
                        if (pixels == nullptr) Fail(failure);
                        free(pixels);
                      }});
  }
#endif
#if QRV_BENCH_HAVE_PNG
  start = Now();
  const size_t spngSeries = series.size();
  const std::vector<uint8_t> png = EncodePng(picture);
  std::printf("  PNG file %zu bytes (%.2f bits/sample), written by libpng in %.2f s\n",
              png.size(), 8.0 * double(png.size()) / pixelBytes, Now() - start);
  for (int which = 0; which < 2; ++which) {
    auto decode = which == 0 ? DecodeWithSpng : DecodeWithLibpng;
    std::vector<uint8_t> out(picture.PixelBytes());
    if (!decode(png, out.data(), out.size(), &error)) Fail(error);
    if (out != picture.samples) Fail(std::string(which == 0 ? "libspng" : "libpng") + " differs");
    // The output buffer is allocated per decode, as GetPicture allocates its
    // blocks; malloc, since a PNG decoder writes every byte.
    series.push_back({which == 0 ? "libspng, memory" : "libpng, memory", pixelBytes,
                      [&png, &picture, decode] {
                        std::string failure;
                        auto* buffer = static_cast<uint8_t*>(malloc(picture.PixelBytes()));
                        if (buffer == nullptr ||
                            !decode(png, buffer, picture.PixelBytes(), &failure))
                          Fail(failure);
                        free(buffer);
                      }});
  }
#endif
  std::vector<uint8_t> copy(picture.PixelBytes(), 1);
  series.push_back({"memcpy (warm buffers)", pixelBytes, [&] {
                      std::memcpy(copy.data(), picture.samples.data(), copy.size());
                    }});
  series.push_back({"calloc + first touch of each page", pixelBytes, [&] {
                      auto* p = static_cast<volatile uint8_t*>(calloc(copy.size(), 1));
                      if (p == nullptr) Fail("calloc failed");
                      for (size_t i = 0; i < copy.size(); i += 4096) p[i] = 1;
                      free(const_cast<uint8_t*>(p));
                    }});

  RunRounds(&series, options.pictureRounds, 0.02);
  std::printf("  %-34s %10s        (interquartile range), %d rounds\n", "", "median",
              options.pictureRounds);
  for (const Series& s : series) PrintRate(s, 1e6, "MB/s");

  const Stats fileRatio = RatioByRound(series[1], series[0]);
#if QRV_BENCH_HAVE_PNG
  const Stats ratio = RatioByRound(series[0], series[spngSeries]);
  std::printf("  GetPicture / libspng, same rounds: %.2fx (%.2f .. %.2f)\n", ratio.median,
              ratio.q1, ratio.q3);
  AddTarget(picture.name + ": GetPicture / libspng >= " + Format("%.1fx", targetRatio),
            Format("%.2fx", ratio.median), ratio.median >= targetRatio);
#else
  (void)targetRatio;
  std::printf("  (built without the PNG decoders: no ratio)\n");
#endif
#if QRV_BENCH_HAVE_QOI
  if (qoiSeries != 0) {
    const Stats qoiRatio = RatioByRound(series[0], series[qoiSeries]);
    std::printf("  GetPicture / QOI, same rounds: %.2fx (%.2f .. %.2f)\n", qoiRatio.median,
                qoiRatio.q1, qoiRatio.q3);
    AddTarget(picture.name + ": GetPicture / QOI >= " + Format("%.1fx", qoiTarget),
              Format("%.2fx", qoiRatio.median), qoiRatio.median >= qoiTarget);
  } else {
    std::printf("  GetPicture / QOI: QOI has no 8-bit grey pictures\n");
  }
#else
  (void)qoiTarget;
#endif
  std::printf("  file source / memory source: %.3f (%.3f .. %.3f)\n", fileRatio.median,
              fileRatio.q1, fileRatio.q3);
  AddTarget(picture.name + ": file source >= 0.85 x memory",
            Format("%.3f", fileRatio.median), fileRatio.median >= 0.85);

  // The fresh-page limit: a host gets a new pixel block from every call, and
  // the kernel's clearing of its pages bounds the decode. Windows hands large
  // blocks over as fresh pages every time, so there the calloc line above is
  // that limit. glibc recycles them within a process (the line above then
  // times a memset), so on Linux a child that allocates fresh pages measures
  // it.
  double freshGet = 0;
  double freshLimit = 0;
  Stats freshRatio;
#if defined(_WIN32)
  const Series& limitSeries = series.back();
  freshGet = Summarise(series[0].Rates()).median / 1e6;
  freshLimit = Summarise(limitSeries.Rates()).median / 1e6;
  freshRatio = RatioByRound(series[0], limitSeries);
  const bool haveFresh = true;
#else
  const bool haveFresh = MeasureFreshPages(qrvPathText, pixelBytes, options.pictureRounds,
                                           &freshGet, &freshLimit, &freshRatio);
#endif
  if (haveFresh) {
    std::printf("  fresh pages: GetPicture %.1f MB/s, calloc + first touch %.1f MB/s, "
                "GetPicture / limit %.2fx (%.2f .. %.2f)\n",
                freshGet, freshLimit, freshRatio.median, freshRatio.q1, freshRatio.q3);
    if (freshTarget > 0) {
      AddTarget(picture.name + ": GetPicture >= " + Format("%.1fx", freshTarget) +
                    " fresh-page limit",
                Format("%.2fx", freshRatio.median), freshRatio.median >= freshTarget);
    }
  } else {
    std::printf("  fresh pages: not measured on this system\n");
  }

  const double limit = double(qrvFile.size()) + pixelBlock + kMiB;
  const int64_t memoryPeak = MeasureDecodePeak(qrvPathText, false);
  const int64_t filePeak = MeasureDecodePeak(qrvPathText, true);
  if (memoryPeak < 0 || filePeak < 0) {
    std::printf("  peak memory of a decode: not measured on this system\n");
    return;
  }
  std::printf("  peak memory of a decode-only process above its start: memory source %.2f MiB, "
              "file source %.2f MiB (file %.2f MiB, pixel block %.2f MiB)\n",
              double(memoryPeak) / 1024, double(filePeak) / 1024, double(qrvFile.size()) / kMiB,
              pixelBlock / kMiB);
  AddTarget(picture.name + ": peak <= file + pixels + 1 MiB",
            Format("%.2f <= %.2f MiB", double(memoryPeak) / 1024, limit / kMiB),
            double(memoryPeak) * 1024 <= limit);
  AddTarget(picture.name + ": file source peak <= pixels + 1 MiB",
            Format("%.2f <= %.2f MiB", double(filePeak) / 1024, (pixelBlock + kMiB) / kMiB),
            double(filePeak) * 1024 <= pixelBlock + kMiB);
}

void BenchListing(const Plugins& plugins, const Options& options) {
  constexpr uint32_t kEntries = 100000;
  std::vector<writer::ArchiveEntry> entries(kEntries);
  Random random(0x11571);
  for (uint32_t i = 0; i < kEntries; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "entry_%06u", i);
    entries[i].name = name;
    entries[i].data = MakeNoise(8 + random.Below(120), i);
  }
  std::vector<uint8_t> archive;
  std::string error;
  if (!writer::WriteArchive(entries, &archive, &error)) Fail("archive writer: " + error);
  std::printf("\narchive of %u small entries, %zu bytes, from memory\n", kEntries,
              archive.size());

  auto list = [&](bool check) {
    QrvBlock listing = nullptr;
    int32_t rc = plugins.getArchiveInfo(reinterpret_cast<char*>(archive.data()),
                                        static_cast<int32_t>(archive.size()), QRV_INPUT_MEMORY,
                                        &listing);
    if (rc != RC_OK) Fail("GetArchiveInfo answered " + std::to_string(rc));
    if (check) {
      const auto* records = reinterpret_cast<const FileInfo*>(LockHostBlock(listing));
      uint32_t position = 0;
      for (uint32_t i = 0; i < kEntries; ++i) {
        if (records[i].position != position || records[i].size != entries[i].data.size() ||
            entries[i].name != records[i].file_name)
          Fail("GetArchiveInfo record " + std::to_string(i) + " is wrong");
        position += static_cast<uint32_t>(10 + entries[i].name.size() + entries[i].data.size());
      }
      if (records[kEntries].file_name[0] != 0 || records[kEntries].method[0] != 0)
        Fail("GetArchiveInfo: no closing record");
      UnlockHostBlock(listing);
    }
    FreeHostBlock(listing);
  };
  list(true);
  std::vector<Series> series;
  series.push_back({"GetArchiveInfo", double(kEntries), [&] { list(false); }});
  // The listing block alone: (entries + 1) records of 428 bytes, zero-filled
  // and written page by page, as the listing must.
  const size_t listingBytes = size_t{kEntries + 1} * sizeof(FileInfo);
  series.push_back({"calloc + first touch of the listing", double(kEntries), [&] {
                      auto* p = static_cast<volatile uint8_t*>(calloc(listingBytes, 1));
                      if (p == nullptr) Fail("calloc failed");
                      for (size_t i = 0; i < listingBytes; i += 4096) p[i] = 1;
                      free(const_cast<uint8_t*>(p));
                    }});
  RunRounds(&series, options.archiveRounds, 0.02);
  for (const Series& s : series) PrintRate(s, 1e6, "million entries/s");
  const Stats stats = Summarise(series[0].Rates());
  AddTarget("listing >= 5 million entries/s", Format("%.2f million/s", stats.median / 1e6),
            stats.median >= 5e6);
}

void BenchExtraction(const Plugins& plugins, const Options& options, const fs::path& dir) {
  const size_t size = options.quick ? size_t{64} << 20 : size_t{256} << 20;
  std::vector<writer::ArchiveEntry> entries(1);
  entries[0].name = "big_entry";
  entries[0].data = MakeNoise(size, 0xE47);
  std::vector<uint8_t> archive;
  std::string error;
  if (!writer::WriteArchive(entries, &archive, &error)) Fail("archive writer: " + error);
  const std::vector<uint8_t>& data = entries[0].data;
  std::printf("\nextracting one entry of %.0f MiB from memory\n", double(size) / kMiB);

  char* src = reinterpret_cast<char*>(archive.data());
  const auto len = static_cast<int32_t>(archive.size());
  const std::string outDir = dir.string();
  const fs::path outFile = dir / "big_entry";
  auto toMemory = [&](bool check) {
    QrvBlock block = nullptr;
    int32_t rc = plugins.getFile(src, len, reinterpret_cast<char*>(&block),
                                 uint32_t{QRV_INPUT_MEMORY} | uint32_t{QRV_OUTPUT_MEMORY}, nullptr, 0);
    if (rc != RC_OK) Fail("GetFile to memory answered " + std::to_string(rc));
    if (check && std::memcmp(LockHostBlock(block), data.data(), size) != 0)
      Fail("GetFile to memory: wrong bytes");
    if (check) UnlockHostBlock(block);
    FreeHostBlock(block);
  };
  auto toFile = [&](bool check) {
    int32_t rc = plugins.getFile(src, len, const_cast<char*>(outDir.c_str()), QRV_INPUT_MEMORY,
                                 nullptr, 0);
    if (rc != RC_OK) Fail("GetFile to a file answered " + std::to_string(rc));
    if (check && ReadWholeFile(outFile.string()) != data) Fail("GetFile to a file: wrong bytes");
    fs::remove(outFile);
  };
  toMemory(true);
  toFile(true);
  std::vector<Series> series;
  series.push_back({"GetFile to memory", double(size), [&] { toMemory(false); }});
  series.push_back({"GetFile to a file", double(size), [&] { toFile(false); }});
  series.push_back({"memcpy into fresh pages", double(size), [&] {
                      auto* p = static_cast<uint8_t*>(malloc(size));
                      if (p == nullptr) Fail("malloc failed");
                      std::memcpy(p, data.data(), size);
                      volatile uint8_t sink = p[size / 2];
                      (void)sink;
                      free(p);
                    }});
  RunRounds(&series, options.archiveRounds, 0.0);
  for (const Series& s : series) PrintRate(s, 1e6, "MB/s");
  const Stats ratio = RatioByRound(series[0], series[2]);
  std::printf("  GetFile to memory / memcpy into fresh pages, same rounds: %.2f (%.2f .. %.2f)\n",
              ratio.median, ratio.q1, ratio.q3);
  AddTarget("extraction to memory >= 0.5 x memcpy (fresh)", Format("%.2f", ratio.median),
            ratio.median >= 0.5);
}

// Writes a picture's two files, for profiling a decoder outside the benchmark.
void SavePicture(const Picture& picture, const std::string& saveDir) {
  std::vector<uint8_t> qrvFile;
  std::string error;
  if (!writer::EncodePicture(picture.width, picture.height, picture.bitsPerPixel,
                             picture.samples, &qrvFile, &error))
    Fail("picture writer: " + error);
  fs::create_directories(saveDir);
  WriteWholeFile(fs::path(saveDir) / (picture.name + ".qrv"), qrvFile);
#if QRV_BENCH_HAVE_PNG
  WriteWholeFile(fs::path(saveDir) / (picture.name + ".png"), EncodePng(picture));
#endif
  std::printf("wrote %s to %s\n", picture.name.c_str(), saveDir.c_str());
}

// The child's side of MeasureDecodePeak: load, reset the peak, read, decode.
int DecodeOnly(const std::string& path, bool fileSource) {
  Plugins plugins;
  LoadPlugins(&plugins, false);
  const int64_t baseline = CurrentResidentKib();
  ResetPeakResident();
  std::vector<uint8_t> bytes;
  if (!fileSource) bytes = ReadWholeFile(path);
  QrvBlock info;
  QrvBlock bits;
  int32_t rc = fileSource ? CallGetPicture(plugins, path.c_str(), 0, QRV_INPUT_FILE, &info, &bits)
                          : CallGetPicture(plugins, reinterpret_cast<const char*>(bytes.data()),
                                           bytes.size(), QRV_INPUT_MEMORY, &info, &bits);
  const int64_t peak = PeakResidentKib();
  if (rc != RC_OK) return 1;
  std::printf("baseline_kib %lld peak_kib %lld\n", static_cast<long long>(baseline),
              static_cast<long long>(peak));
  FreeHostBlock(info);
  FreeHostBlock(bits);
  return 0;
}

// The child's side of MeasureFreshPages: every large block fresh, then
// "round GETPICTURE_S LIMIT_S" per round, the two in alternating order.
int FreshPages(const std::string& path, size_t pixelBytes, int rounds) {
  Plugins plugins;
  LoadPlugins(&plugins, false);
  if (!AllocateLargeBlocksFresh()) return 1;
  const std::vector<uint8_t> file = ReadWholeFile(path);
  auto decode = [&] {
    QrvBlock info;
    QrvBlock bits;
    if (CallGetPicture(plugins, reinterpret_cast<const char*>(file.data()), file.size(),
                       QRV_INPUT_MEMORY, &info, &bits) != RC_OK)
      Fail("GetPicture of " + path + " failed");
    FreeHostBlock(info);
    FreeHostBlock(bits);
  };
  auto touch = [&] {
    auto* p = static_cast<volatile uint8_t*>(calloc(pixelBytes, 1));
    if (p == nullptr) Fail("calloc failed");
    for (size_t i = 0; i < pixelBytes; i += 4096) p[i] = 1;
    free(const_cast<uint8_t*>(p));
  };
  auto seconds = [](const std::function<void()>& run) {
    const double start = Now();
    run();
    return Now() - start;
  };
  decode();
  touch();
  for (int round = 0; round < rounds; ++round) {
    double get = 0;
    double limit = 0;
    if (round % 2 == 0) {
      get = seconds(decode);
      limit = seconds(touch);
    } else {
      limit = seconds(touch);
      get = seconds(decode);
    }
    std::printf("round %.9f %.9f\n", get, limit);
  }
  return 0;
}

void PrintUsage() {
  std::printf(
      "usage: qrv_bench [--quick] [--picture NAME]... [--no-archive]\n"
      "       qrv_bench --save DIR [--picture NAME]...   (write NAME.qrv and NAME.png)\n"
      "       qrv_bench --decode-only FILE [--file-source]\n"
      "       qrv_bench --fresh-pages FILE PIXEL_BYTES ROUNDS\n"
      "pictures: photo, ui, grey, large\n");
}

int Main(int argc, char** argv) {
  Options options;
  std::string decodeOnly;
  bool fileSource = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--quick") {
      options.quick = true;
    } else if (arg == "--no-archive") {
      options.archives = false;
    } else if (arg == "--picture" && i + 1 < argc) {
      options.only.push_back(argv[++i]);
    } else if (arg == "--decode-only" && i + 1 < argc) {
      decodeOnly = argv[++i];
    } else if (arg == "--save" && i + 1 < argc) {
      options.saveDir = argv[++i];
    } else if (arg == "--file-source") {
      fileSource = true;
    } else if (arg == "--fresh-pages" && i + 3 < argc) {
      const std::string path = argv[i + 1];
      return FreshPages(path, static_cast<size_t>(std::atoll(argv[i + 2])), std::atoi(argv[i + 3]));
    } else {
      PrintUsage();
      return arg == "--help" ? 0 : 2;
    }
  }
  if (!decodeOnly.empty()) return DecodeOnly(decodeOnly, fileSource);
  if (options.quick) {
    options.pictureRounds = 5;
    options.archiveRounds = 3;
  }

  Plugins plugins;
  LoadPlugins(&plugins, options.archives);
  const fs::path dir = fs::temp_directory_path() /
                       ("qrv_bench_" + std::to_string(static_cast<long long>(Now() * 1e6)));
  fs::create_directories(dir);
  std::printf("qrv_bench%s: MB = 10^6 decoded bytes; figures are medians with the "
              "interquartile range\n",
              options.quick ? " --quick" : "");

  struct Job {
    const char* name;
    double target;       // GetPicture / libspng
    double qoiTarget;    // GetPicture / QOI, where QOI holds the picture
    double freshTarget;  // GetPicture / the fresh-page limit, or 0 for none
    std::function<Picture()> make;
  };
  const Job jobs[] = {
      {"photo", 2.5, 1.2, 0, [] { return MakePhotoLike("photo", 1920, 1080, 24, 1); }},
      {"ui", 2.4, 1.2, 0.9, [] { return MakeUiLike("ui", 1920, 1080, 2); }},
      {"grey", 4.5, 0, 0, [] { return MakePhotoLike("grey", 1024, 768, 8, 3); }},
      {"large", 2.5, 1.2, 0, [] { return MakePhotoLike("large", 4096, 4096, 24, 4); }},
  };
  int status = 0;
  try {
    for (const Job& job : jobs) {
      if (!options.only.empty() &&
          std::find(options.only.begin(), options.only.end(), job.name) == options.only.end())
        continue;
      if (!options.saveDir.empty()) {
        SavePicture(job.make(), options.saveDir);
        continue;
      }
      BenchPicture(job.make(), plugins, options, dir, job.target, job.qoiTarget,
                   job.freshTarget);
    }
    if (options.archives && options.saveDir.empty()) {
      BenchListing(plugins, options);
      BenchExtraction(plugins, options, dir);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qrv_bench: %s\n", e.what());
    status = 1;
  }
  std::error_code ignored;
  fs::remove_all(dir, ignored);

  std::printf("\ntargets:\n");
  int missed = 0;
  for (const Target& t : g_targets) {
    std::printf("  %-6s %-52s %s\n", t.met ? "met" : "MISSED", t.what.c_str(),
                t.measured.c_str());
    missed += t.met ? 0 : 1;
  }
  std::printf("%zu targets, %d missed%s\n", g_targets.size(), missed,
              status != 0 ? "; the benchmark did not complete" : "");
  return status;
}

}  // namespace

}  // namespace qrv::bench

int main(int argc, char** argv) {
  try {
    return qrv::bench::Main(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qrv_bench: %s\n", e.what());
    return 1;
  }
}
