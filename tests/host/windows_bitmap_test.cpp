// On Windows: a bitmap file written by qrv.exe opens in the Windows API itself
// (LoadImageA from the file), and GetDIBits gives back the writer's samples.
#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>

#include "host_support.h"

namespace qrv::test {
namespace {

// The bitmap's pixels as 24-bit blue, green, red rows from the top.
Bytes PixelsOf(HBITMAP bitmap, int32_t width, int32_t height) {
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;  // top-down
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  info.bmiHeader.biCompression = BI_RGB;
  const size_t stride = (static_cast<size_t>(width) * 3 + 3) / 4 * 4;
  Bytes padded(stride * height);
  HDC dc = GetDC(nullptr);
  int rows = GetDIBits(dc, bitmap, 0, static_cast<UINT>(height), padded.data(), &info,
                       DIB_RGB_COLORS);
  ReleaseDC(nullptr, dc);
  Bytes pixels;
  if (rows != height) return pixels;
  for (int32_t y = 0; y < height; ++y) {
    pixels.insert(pixels.end(), padded.begin() + y * stride, padded.begin() + y * stride + width * 3);
  }
  return pixels;
}

TEST(WindowsBitmap, QrvOutputLoadsFromTheFile) {
  struct Row {
    uint32_t width;
    uint32_t height;
    int bits;
  };
  for (Row row : {Row{13, 7, 24}, Row{10, 5, 8}, Row{1, 1, 24}, Row{33, 3, 8}}) {
    SCOPED_TRACE(std::to_string(row.width) + "x" + std::to_string(row.height) + "x" +
                 std::to_string(row.bits));
    Samples samples = MakeSamples(row.width, row.height, row.bits, row.width + row.bits);
    std::string picture = ScratchPath("win.qcg");
    std::string bmp = ScratchPath("win.bmp");
    WriteFileBytes(picture, EncodeSamples(samples));
    RunResult run = Qrv({"convert", picture, bmp});
    ASSERT_EQ(run.status, 0) << run.err;

    HBITMAP bitmap = static_cast<HBITMAP>(
        LoadImageA(nullptr, bmp.c_str(), IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE | LR_CREATEDIBSECTION));
    ASSERT_NE(bitmap, nullptr) << "LoadImageA failed with error " << GetLastError();
    BITMAP described = {};
    ASSERT_NE(GetObjectA(bitmap, sizeof described, &described), 0);
    EXPECT_EQ(described.bmWidth, static_cast<LONG>(row.width));
    EXPECT_EQ(described.bmHeight, static_cast<LONG>(row.height));
    EXPECT_EQ(described.bmBitsPixel, row.bits);

    // An 8-bit picture's table is the grey ramp: index i shows as grey i.
    Bytes expected;
    if (row.bits == 8) {
      for (uint8_t index : samples.bytes) expected.insert(expected.end(), 3, index);
    } else {
      expected = samples.bytes;
    }
    EXPECT_EQ(PixelsOf(bitmap, described.bmWidth, described.bmHeight), expected);
    DeleteObject(bitmap);
  }
}

}  // namespace
}  // namespace qrv::test
