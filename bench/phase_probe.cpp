// Where the time of one picture decode goes, phase by phase: a profiling aid
// beside the benchmark (not run by any test). It drives the image filter's own
// routines the way GetPicture does, but one phase over the whole picture at a
// time, each timed on its own over many rounds (median):
//   block    the pixel block's allocation (uncleared, as GetPicture's) and
//            release, nothing written
//   codes    pass 1 of every row (run headers and codes) into a zeroed block
//            that is already faulted in (24-bit rows read as planes into
//            their own rows)
//   mapping  pass 2 of every row (neighbour mapping and the fills of flat
//            groups) over the whole picture at once, its codes out of cache
//            (rows read as planes into a second block)
//   whole    the whole decode as GetPicture runs it, the block included; the
//            decoder maps each group of rows right after reading it, in cache,
//            so whole - block - codes is what mapping, the clearing of each
//            row and the first touch of fresh pages cost there
// Usage: qrv_phases FILE.qrv [rounds]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "bit_reader.h"
#include "channel.h"
#include "header.h"
#include "picture.h"
#include "plugin.h"

namespace {

double Now() {
  using Clock = std::chrono::steady_clock;
  return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

int32_t NoProgress(int32_t, int32_t, QrvUser) { return 0; }

struct Picture {
  std::vector<uint8_t> file;
  qrv::ImageHeader header;
  qrv::BitmapLayout layout;
};

// Opens the memory source past the header, as GetPicture leaves it.
qrv::StreamHandle Open(Picture& p) {
  qrv::StreamHandle stream = nullptr;
  if (qrv::OpenSource(&stream, reinterpret_cast<char*>(p.file.data()),
                      static_cast<int32_t>(p.file.size()), 1) != RC_OK ||
      qrv::ReadImageHeader(stream, &p.header) != RC_OK) {
    std::fprintf(stderr, "qrv_phases: not a picture\n");
    std::exit(1);
  }
  return stream;
}

// Pass 1 of every row into `pixels` (zeroed), rows kept for mapping. 24-bit
// rows go in pairs as the decoder takes them: as planes with the vector kernel
// where the pair before had codes all along (here into the pair's own rows),
// else in place.
void ReadAllCodes(Picture& p, uint8_t* pixels, std::vector<uint8_t*>* rows,
                  std::vector<uint32_t>* zeros, std::vector<bool>* planar) {
  const qrv::RowKernel kernel = qrv::ChooseKernel();
  qrv::StreamHandle stream = Open(p);
  qrv::BitReader reader;
  if (qrv::BeginBits(&reader, stream) != RC_OK) std::exit(1);
  const int32_t height = p.header.height;
  const int32_t width = p.header.width;
  bool mostlyZero = false;
  for (int32_t r = 0; r < height; ++r) {
    uint8_t* row = pixels + static_cast<size_t>(height - 1 - r) * p.layout.stride;
    uint32_t zeroCodes = 0;
    if (r % 2 == 0 && r > 0) {
      mostlyZero = (uint64_t{(*zeros)[r - 1]} + (*zeros)[r - 2]) * 2 >= uint64_t{6} * width;
    }
    (*planar)[r] = kernel == qrv::RowKernel::kVector && !mostlyZero;
    int32_t rc = p.layout.bytesPerPixel == 1
                     ? qrv::ReadRowCodes8(kernel, &reader, row, width)
                 : (*planar)[r] ? qrv::ReadRowPlanes24(kernel, &reader, row, width, &zeroCodes)
                                : qrv::ReadRowCodes24(&reader, row, width, &zeroCodes);
    if (rc != RC_OK) std::exit(1);
    (*rows)[r] = row;
    (*zeros)[r] = zeroCodes;
  }
  int32_t rc = RC_OK;
  qrv::EndBits(&reader, &rc);
  qrv::CloseSource(stream, &rc);
}

// Pass 2 of every row; 24-bit rows read as planes give their pixels to the
// same row of `out`.
void MapAll(const Picture& p, const std::vector<uint8_t*>& rows,
            const std::vector<uint32_t>& zeros, const std::vector<bool>& planar, uint8_t* out) {
  const qrv::RowKernel kernel = qrv::ChooseKernel();
  const int32_t group =
      p.layout.bytesPerPixel == 1 ? qrv::MappedRows8(kernel) : qrv::kMappedRows24;
  for (int32_t r = 0; r < p.header.height; r += group) {
    const int32_t count = std::min(group, p.header.height - r);
    if (p.layout.bytesPerPixel == 1) {
      qrv::MapRows8(kernel, &rows[r], count, p.header.width);
    } else if (planar[r]) {
      uint8_t* outRows[qrv::kMappedRows24];
      for (int32_t n = 0; n < count; ++n) outRows[n] = out + (rows[r + n] - rows.back());
      qrv::MapRowsFromPlanes24(&rows[r], outRows, count, p.header.width);
    } else {
      qrv::MapRows24(&rows[r], &zeros[r], count, p.header.width);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: qrv_phases FILE.qrv [rounds]\n");
    return 2;
  }
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 31;
  Picture p;
  std::ifstream in(argv[1], std::ios::binary);
  p.file.assign(std::istreambuf_iterator<char>(in), {});
  qrv::StreamHandle stream = Open(p);
  int32_t rc = RC_OK;
  qrv::CloseSource(stream, &rc);
  if (qrv::ComputeLayout(p.header, &p.layout) != RC_OK) return 1;
  const double pixelBytes = double(p.header.width) * p.header.height * p.layout.bytesPerPixel;

  std::vector<double> block, codes, mapping, whole;
  std::vector<uint8_t*> rows(p.header.height);
  std::vector<uint32_t> zeros(p.header.height);
  std::vector<bool> planar(p.header.height);
  std::vector<uint8_t> codesCopy(p.layout.imageSize);
  std::vector<uint8_t> mapped(p.layout.imageSize);
  for (int round = 0; round < rounds; ++round) {
    // The block alone.
    double start = Now();
    qrv::BlockHandle handle = nullptr;
    void* address = nullptr;
    if (qrv::AllocUnclearedBlock(p.layout.imageSize, &handle, &address) != RC_OK) return 1;
    qrv::ReleaseBlock(handle, address);
    block.push_back(Now() - start);
    // Codes into a zeroed buffer that is already faulted in: the codes' cost only.
    std::memset(codesCopy.data(), 0, codesCopy.size());
    start = Now();
    ReadAllCodes(p, codesCopy.data(), &rows, &zeros, &planar);
    codes.push_back(Now() - start);
    start = Now();
    MapAll(p, rows, zeros, planar, mapped.data());
    mapping.push_back(Now() - start);
    // The whole decode, as GetPicture.
    start = Now();
    stream = Open(p);
    if (qrv::AllocUnclearedBlock(p.layout.imageSize, &handle, &address) != RC_OK) return 1;
    rc = qrv::DecodePicture(stream, p.header, p.layout, static_cast<uint8_t*>(address),
                            NoProgress, 0, qrv::ChooseKernel());
    qrv::CloseSource(stream, &rc);
    qrv::ReleaseBlock(handle, address);
    whole.push_back(Now() - start);
    if (rc != RC_OK) return 1;
  }
  auto print = [&](const char* name, const std::vector<double>& seconds) {
    const double s = Median(seconds);
    std::printf("  %-8s %8.3f ms  %8.1f MB/s of pixels\n", name, s * 1e3, pixelBytes / s / 1e6);
  };
  std::printf("%s: %ux%u, %u bits, median of %d rounds\n", argv[1], p.header.width,
              p.header.height, p.header.bitsPerPixel, rounds);
  print("block", block);
  print("codes", codes);
  print("mapping", mapping);
  print("whole", whole);
  std::printf("  whole - block - codes: %.3f ms\n",
              (Median(whole) - Median(block) - Median(codes)) * 1e3);
  return 0;
}
