// The built image filter loaded the way a host loads it, its exports looked up
// by their plain names: the worked examples and a share of the round trips, so
// that they also run against the Windows build's library.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <random>
#include <string>

#include "picture_samples.h"
#include "platform.h"
#include "plugin_library.h"
#include "qrvnel.h"
#include "reference_decoder.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace qrv::test {
namespace {

// The host frees a handed-over block itself.
bool FreeBlockAsHost(BlockHandle block) {
  platform::FreeBlock(block);
  return block != nullptr;
}

class ImageAbi : public testing::Test {
 protected:
  void SetUp() override {
    std::string path = ProgramDirectory() + PluginFileName("ifqrvnel");
    ASSERT_TRUE(library_.Open(path)) << path << ": " << library_.error();
    isSupported_ = library_.Get<IsSupportedFn>("IsSupported");
    getPictureInfo_ = library_.Get<GetPictureInfoFn>("GetPictureInfo");
    getPreview_ = library_.Get<GetPreviewFn>("GetPreview");
    getPicture_ = library_.Get<GetPictureFn>("GetPicture");
    ASSERT_NE(isSupported_, nullptr);
    ASSERT_NE(getPictureInfo_, nullptr);
    ASSERT_NE(getPreview_, nullptr);
    ASSERT_NE(getPicture_, nullptr);
  }

  Decoded Decode(const Bytes& file, int abortAt = -1) {
    return DecodeWith(getPicture_, FreeBlockAsHost, file, abortAt);
  }

  PluginLibrary library_;
  IsSupportedFn isSupported_ = nullptr;
  GetPictureInfoFn getPictureInfo_ = nullptr;
  GetPreviewFn getPreview_ = nullptr;
  GetPictureFn getPicture_ = nullptr;
};

const Bytes kOnePixel = {0x01, 0x00, 0x00, 0x00, 'Q', 'R', 'V', 0x00,
                         0x01, 0x00, 0x01, 0x08, 0xf4, 0x00, 0x00, 0x00};

TEST_F(ImageAbi, OnePixelPicture) {
  Decoded d = Decode(kOnePixel);
  ASSERT_EQ(d.rc, RC_OK);
  const Bytes header = {40, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 8, 0, 0, 0, 0, 0,
                        4,  0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  ASSERT_EQ(d.info.size(), 1064u);
  EXPECT_EQ(Bytes(d.info.begin(), d.info.begin() + 40), header);
  EXPECT_EQ(d.info[40 + 4 * 200], 200);
  EXPECT_EQ(d.pixels, (Bytes{0x80, 0, 0, 0}));
  EXPECT_EQ(d.progress, (std::vector<std::pair<int32_t, int32_t>>{{0, 1}, {1, 1}}));
}

TEST_F(ImageAbi, WorkedStreamsAsPictures) {
  struct Row {
    Bytes stream;
    uint16_t width;
    Bytes row;
  };
  const Row rows[] = {
      {{0xf6, 0x40, 0x60, 0x00}, 6, {200, 200, 200, 200, 200, 200, 0, 0}},
      {{0x75, 0x09, 0x66, 0x00}, 4, {10, 10, 11, 9}},
  };
  for (const Row& row : rows) {
    Bytes file = Header(0, "QRV", row.width, 1, 8);
    file.insert(file.end(), row.stream.begin(), row.stream.end());
    Decoded d = Decode(file);
    ASSERT_EQ(d.rc, RC_OK);
    EXPECT_EQ(d.pixels, row.row);
  }
}

TEST_F(ImageAbi, HeaderExports) {
  Bytes head(QRV_HEAD_SIZE, 0);
  Bytes valid = Header(12, "QRV", 2, 2, 24);
  std::copy(valid.begin(), valid.end(), head.begin());
  EXPECT_EQ(isSupported_(const_cast<char*>("a"), reinterpret_cast<uintptr_t>(head.data())), 1);
  head[0] = 13;
  EXPECT_EQ(isSupported_(const_cast<char*>("a"), reinterpret_cast<uintptr_t>(head.data())), 0);

  PictureInfo info;
  std::memset(&info, 0x5c, sizeof info);
  ASSERT_EQ(getPictureInfo_(reinterpret_cast<char*>(valid.data()), 12, 1, &info), RC_OK);
  EXPECT_EQ(+info.width, 2);
  EXPECT_EQ(+info.height, 2);
  EXPECT_EQ(+info.colour_depth, 24);
  EXPECT_EQ(+info.left, 0);
  EXPECT_EQ(+info.text_handle, 0u);
  EXPECT_EQ(getPictureInfo_(reinterpret_cast<char*>(valid.data()), 11, 1, &info), RC_READ_ERROR);

  QrvBlock a = reinterpret_cast<QrvBlock>(uintptr_t{3});
  QrvBlock b = a;
  EXPECT_EQ(getPreview_(reinterpret_cast<char*>(valid.data()), 12, 1, &a, &b, nullptr, 0),
            RC_NOT_IMPLEMENTED);
  EXPECT_EQ(a, reinterpret_cast<QrvBlock>(uintptr_t{3}));
}

TEST_F(ImageAbi, RoundTripsAbortAndTruncation) {
  std::mt19937_64 rng(4242);
  for (int i = 0; i < 400; ++i) {
    Sampled p = RandomPicture(rng, 200, 8);
    Bytes file = Encode(p, i % 2 == 0 ? 0 : rng() | 1);
    Decoded d = Decode(file);
    ASSERT_EQ(d.rc, RC_OK) << "picture " << i;
    ASSERT_EQ(d.pixels, ExpectedPixels(p)) << "picture " << i;
    if (i % 20 == 0) {
      int abortAt = static_cast<int>(rng() % (p.height + 1));
      Decoded aborted = Decode(file, abortAt);
      EXPECT_EQ(aborted.rc, RC_ABORTED);
      EXPECT_TRUE(aborted.nullAfterFailure);
      EXPECT_EQ(aborted.progress.size(), static_cast<size_t>(abortAt + 1));
      Bytes cut(file.begin(), file.begin() + static_cast<ptrdiff_t>(rng() % file.size()));
      EXPECT_EQ(Decode(cut).rc, DecodeReference(cut).rc) << "picture " << i << " cut";
    }
  }
}

#if !defined(_WIN32)
// AddressSanitizer writes the shadow of a freed 4 GiB block (512 MiB) itself:
// under it only the result code is checked.
#if defined(__SANITIZE_ADDRESS__)
#define QRV_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QRV_TEST_ASAN 1
#endif
#endif

// A field of /proc/self/status in KiB, or -1.
long StatusKib(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, field.size(), field) == 0) return std::stol(line.substr(field.size()));
  }
  return -1;
}

struct ChildDecode {
  long rc = -1;
  long peakGrowthKib = -1;  // peak resident memory over the call, above the start
};

// GetPicture of the file in a child process, whose peak resident memory is
// reset just before the call, so that it measures this decode alone.
ChildDecode DecodeInChild(GetPictureFn getPicture, const std::string& path) {
  ChildDecode result;
  int channel[2];
  if (pipe(channel) != 0) return result;
  pid_t child = fork();
  if (child == 0) {
    close(channel[0]);
    int reset = open("/proc/self/clear_refs", O_WRONLY);
    bool resetDone = reset >= 0 && write(reset, "5", 1) == 1;
    if (reset >= 0) close(reset);
    long start = StatusKib("VmRSS:");
    QrvBlock info = nullptr;
    QrvBlock bits = nullptr;
    std::string name = path;
    result.rc = getPicture(name.data(), 0, 0, &info, &bits, nullptr, 0);
    long peak = StatusKib("VmHWM:");
    if (resetDone && start >= 0 && peak >= 0) result.peakGrowthKib = peak - start;
    ssize_t put = write(channel[1], &result, sizeof result);
    _exit(put == sizeof result ? 0 : 1);
  }
  close(channel[1]);
  if (child > 0 && read(channel[0], &result, sizeof result) != sizeof result) result = {};
  close(channel[0]);
  int status = 0;
  if (child > 0) waitpid(child, &status, 0);
  return result;
}

// 16-byte files whose headers claim about 4 GiB of pixels over a 4-byte
// stream: the decode fails in the first row, having touched the memory it
// wrote, not the memory the header claimed. A 32-bit process cannot even
// reserve such a block: there the allocation fails first.
TEST_F(ImageAbi, AHostileHeaderTouchesOnlyWhatIsDecoded) {
  struct Row {
    uint16_t width;
    uint16_t height;
    uint8_t bits;
  };
  const Row rows[] = {{65535, 65535, 8}, {37837, 37837, 24}};
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.width) + "x" + std::to_string(row.height) + "x" +
                 std::to_string(row.bits));
    Bytes file = Header(0, "QRV", row.width, row.height, row.bits);
    file.insert(file.end(), 4, 0xff);
    std::string path = testing::TempDir() + "hostile.qcg";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(file.data()),
                                                static_cast<std::streamsize>(file.size()));
    ChildDecode decode = DecodeInChild(getPicture_, path);
    EXPECT_EQ(decode.rc, sizeof(void*) == 4 ? RC_NO_MEMORY : RC_READ_ERROR);
    ASSERT_GE(decode.peakGrowthKib, 0) << "peak resident memory not measured";
#if !defined(QRV_TEST_ASAN)
    EXPECT_LT(decode.peakGrowthKib, 64 * 1024) << "KiB touched";
#endif
    std::remove(path.c_str());
  }
}
#endif

}  // namespace
}  // namespace qrv::test
