// On Windows: qrv.exe reads and writes PNG through the system's codecs, and
// takes, opens, creates and lists files named in any script. PNG files are made
// and read back here through the Windows Imaging Component directly; names on
// disk are checked through the wide-character API. This program carries the
// host's manifest, so its own char* strings are UTF-8 as qrv.exe's are.
#include <gtest/gtest.h>

#include <windows.h>

#include <initguid.h>
#include <wincodec.h>

#include <algorithm>
#include <cstring>

#include "archive_writer.h"
#include "host_support.h"

namespace qrv::test {
namespace {

std::wstring Wide(const std::string& utf8) {
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

std::string Join(const std::string& dir, const std::string& name) { return dir + "\\" + name; }

// A fresh directory below the scratch directory, made through the wide API.
std::string FreshDir(const std::string& name) {
  std::string path = Join(ScratchDir(), name);
  EXPECT_NE(CreateDirectoryW(Wide(path).c_str(), nullptr), 0) << path;
  return path;
}

// The names in a directory as the file system holds them, sorted.
std::vector<std::wstring> NamesIn(const std::string& dir) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(Wide(Join(dir, "*")).c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (FindNextFileW(find, &found));
  FindClose(find);
  std::sort(names.begin(), names.end());
  return names;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

struct Wic {
  Wic() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                     IID_IWICImagingFactory, reinterpret_cast<void**>(&factory));
  }
  ~Wic() {
    if (factory != nullptr) factory->Release();
    CoUninitialize();
  }
  IWICImagingFactory* factory = nullptr;
};

// A PNG of `bytes` (rows from the top, no padding) in the given WIC format.
bool WritePng(const std::string& path, const GUID& format, uint32_t width, uint32_t height,
              uint32_t bytesPerPixel, const Bytes& bytes) {
  Wic wic;
  IWICStream* stream = nullptr;
  IWICBitmapEncoder* encoder = nullptr;
  IWICBitmapFrameEncode* frame = nullptr;
  HRESULT hr = wic.factory != nullptr ? S_OK : E_FAIL;
  if (SUCCEEDED(hr)) hr = wic.factory->CreateStream(&stream);
  if (SUCCEEDED(hr)) hr = stream->InitializeFromFilename(Wide(path).c_str(), GENERIC_WRITE);
  if (SUCCEEDED(hr)) hr = wic.factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, &encoder);
  if (SUCCEEDED(hr)) hr = encoder->Initialize(stream, WICBitmapEncoderNoCache);
  if (SUCCEEDED(hr)) hr = encoder->CreateNewFrame(&frame, nullptr);
  if (SUCCEEDED(hr)) hr = frame->Initialize(nullptr);
  if (SUCCEEDED(hr)) hr = frame->SetSize(width, height);
  WICPixelFormatGUID chosen = format;
  if (SUCCEEDED(hr)) hr = frame->SetPixelFormat(&chosen);
  if (SUCCEEDED(hr) && !IsEqualGUID(chosen, format)) hr = E_FAIL;
  if (SUCCEEDED(hr)) {
    hr = frame->WritePixels(height, width * bytesPerPixel, static_cast<UINT>(bytes.size()),
                            const_cast<BYTE*>(bytes.data()));
  }
  if (SUCCEEDED(hr)) hr = frame->Commit();
  if (SUCCEEDED(hr)) hr = encoder->Commit();
  if (frame != nullptr) frame->Release();
  if (encoder != nullptr) encoder->Release();
  if (stream != nullptr) stream->Release();
  return SUCCEEDED(hr);
}

// A PNG's stored pixel format and its pixels: grey levels for 8bppGray, blue,
// green, red otherwise.
bool ReadPng(const std::string& path, GUID* format, uint32_t* width, uint32_t* height,
             Bytes* bytes) {
  Wic wic;
  IWICBitmapDecoder* decoder = nullptr;
  IWICBitmapFrameDecode* frame = nullptr;
  IWICBitmapSource* source = nullptr;
  HRESULT hr = wic.factory != nullptr ? S_OK : E_FAIL;
  if (SUCCEEDED(hr)) {
    hr = wic.factory->CreateDecoderFromFilename(Wide(path).c_str(), nullptr, GENERIC_READ,
                                                WICDecodeMetadataCacheOnDemand, &decoder);
  }
  if (SUCCEEDED(hr)) hr = decoder->GetFrame(0, &frame);
  UINT w = 0, h = 0;
  if (SUCCEEDED(hr)) hr = frame->GetSize(&w, &h);
  if (SUCCEEDED(hr)) hr = frame->GetPixelFormat(format);
  const bool grey = SUCCEEDED(hr) && IsEqualGUID(*format, GUID_WICPixelFormat8bppGray);
  if (SUCCEEDED(hr)) {
    hr = WICConvertBitmapSource(grey ? GUID_WICPixelFormat8bppGray : GUID_WICPixelFormat24bppBGR,
                                frame, &source);
  }
  if (SUCCEEDED(hr)) {
    *width = w;
    *height = h;
    bytes->assign(static_cast<size_t>(w) * h * (grey ? 1 : 3), 0);
    hr = source->CopyPixels(nullptr, w * (grey ? 1 : 3), static_cast<UINT>(bytes->size()),
                            bytes->data());
  }
  if (source != nullptr) source->Release();
  if (frame != nullptr) frame->Release();
  if (decoder != nullptr) decoder->Release();
  return SUCCEEDED(hr);
}

// BASE.png encoded to BASE.qcg and that converted to BASE.bmp, read back.
void EncodeAndConvertToBitmap(const std::string& base, BitmapFile* bitmap) {
  RunResult run = Qrv({"encode", base + ".png", base + ".qcg"});
  ASSERT_EQ(run.status, 0) << run.err;
  run = Qrv({"convert", base + ".qcg", base + ".bmp"});
  ASSERT_EQ(run.status, 0) << run.err;
  ASSERT_EQ(ReadBitmapFile(ReadFileBytes(base + ".bmp"), bitmap), "");
}

TEST(WindowsPng, EncodeFromPngAndConvertToPngKeepEveryPixel) {
  std::string dir = FreshDir("png-round-trip");
  struct Row {
    uint32_t width;
    uint32_t height;
    int bits;  // 8: greyscale, 24: colour
  };
  for (Row row : {Row{1, 1, 8}, Row{7, 3, 8}, Row{13, 9, 8}, Row{33, 2, 8}, Row{1, 5, 24},
                  Row{5, 4, 24}, Row{31, 7, 24}}) {
    const std::string name = std::to_string(row.width) + "x" + std::to_string(row.height) + "x" +
                             std::to_string(row.bits);
    SCOPED_TRACE(name);
    const GUID& format = row.bits == 8 ? GUID_WICPixelFormat8bppGray : GUID_WICPixelFormat24bppBGR;
    Samples samples = MakeSamples(row.width, row.height, row.bits, row.width * 31 + row.bits);
    const std::string source = Join(dir, name + "-source.png");
    const std::string picture = Join(dir, name + ".qcg");
    const std::string output = Join(dir, name + "-out.png");
    ASSERT_TRUE(WritePng(source, format, row.width, row.height, row.bits / 8, samples.bytes));

    RunResult run = Qrv({"encode", source, picture});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Contains(run.out, std::to_string(row.bits) + " bits per pixel")) << run.out;
    run = Qrv({"convert", picture, output});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, picture + " -> " + output + "\n");

    GUID stored = {};
    uint32_t width = 0, height = 0;
    Bytes back;
    ASSERT_TRUE(ReadPng(output, &stored, &width, &height, &back));
    // Greyscale stays greyscale; colour is stored as colour.
    EXPECT_TRUE(IsEqualGUID(stored, format));
    EXPECT_EQ(width, row.width);
    EXPECT_EQ(height, row.height);
    EXPECT_EQ(back, samples.bytes);
  }
}

TEST(WindowsPng, TransparentPixelsTurnWhiteAndOpaqueOnesKeepTheirColour) {
  std::string dir = FreshDir("png-alpha");
  // Blue, green, red, alpha.
  const Bytes bgra = {10, 20, 30, 255, 40, 50, 60, 255, 1, 2, 3, 0, 200, 100, 0, 0, 7, 8, 9, 255};
  ASSERT_TRUE(WritePng(Join(dir, "alpha.png"), GUID_WICPixelFormat32bppBGRA, 5, 1, 4, bgra));
  BitmapFile bitmap;
  EncodeAndConvertToBitmap(Join(dir, "alpha"), &bitmap);
  EXPECT_EQ(bitmap.bits, 24);
  EXPECT_EQ(bitmap.samples, (Bytes{10, 20, 30, 40, 50, 60, 255, 255, 255, 255, 255, 255, 7, 8, 9}));
}

void PutBe32(Bytes* out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out->push_back(static_cast<uint8_t>(value >> shift));
}

// A one-row 16-bit greyscale PNG built byte by byte, its data in a stored
// (uncompressed) deflate block. (Wine's WIC encoder writes 16-bit samples in
// the wrong byte order, so it cannot make this source.)
Bytes Grey16Png(const std::vector<uint16_t>& words) {
  auto chunk = [](Bytes* out, const char* type, const Bytes& body) {
    PutBe32(out, static_cast<uint32_t>(body.size()));
    Bytes typed(type, type + 4);
    typed.insert(typed.end(), body.begin(), body.end());
    uint32_t crc = 0xffffffffu;
    for (uint8_t byte : typed) {
      crc ^= byte;
      for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    out->insert(out->end(), typed.begin(), typed.end());
    PutBe32(out, ~crc);
  };
  Bytes raw = {0};  // filter type 0
  for (uint16_t word : words) {
    raw.push_back(static_cast<uint8_t>(word >> 8));
    raw.push_back(static_cast<uint8_t>(word));
  }
  uint32_t a = 1, b = 0;
  for (uint8_t byte : raw) {
    a = (a + byte) % 65521;
    b = (b + a) % 65521;
  }
  const auto size = static_cast<uint16_t>(raw.size());
  Bytes data = {0x78, 0x01, 0x01, static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8),
                static_cast<uint8_t>(~size), static_cast<uint8_t>(~size >> 8)};
  data.insert(data.end(), raw.begin(), raw.end());
  PutBe32(&data, (b << 16) | a);
  Bytes header;
  PutBe32(&header, static_cast<uint32_t>(words.size()));
  PutBe32(&header, 1);
  header.insert(header.end(), {16, 0, 0, 0, 0});  // 16-bit grey, not interlaced
  Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  chunk(&png, "IHDR", header);
  chunk(&png, "IDAT", data);
  chunk(&png, "IEND", {});
  return png;
}

TEST(WindowsPng, SixteenBitGreyIsRoundedToTheNearestLevel) {
  std::string dir = FreshDir("png-16");
  // Level k is k * 257; half a level up rounds down, a little more rounds up.
  WriteFileBytes(Join(dir, "grey16.png"),
                 Grey16Png({0, 65535, 128 * 257, 100 * 257 + 128, 100 * 257 + 129}));
  BitmapFile bitmap;
  EncodeAndConvertToBitmap(Join(dir, "grey16"), &bitmap);
  EXPECT_EQ(bitmap.bits, 8);
  EXPECT_EQ(bitmap.samples, (Bytes{0, 255, 128, 100, 101}));
}

TEST(WindowsPng, DamagedPngIsRefusedWithAClearMessageAndNoOutput) {
  std::string dir = FreshDir("png-damaged");
  Samples samples = MakeSamples(40, 30, 24, 3);
  const std::string good = Join(dir, "good.png");
  ASSERT_TRUE(WritePng(good, GUID_WICPixelFormat24bppBGR, 40, 30, 3, samples.bytes));
  const Bytes bytes = ReadFileBytes(good);
  const size_t idat = std::string(bytes.begin(), bytes.end()).find("IDAT");
  ASSERT_NE(idat, std::string::npos);

  struct Damage {
    const char* name;
    Bytes file;
  };
  std::vector<Damage> damages;
  damages.push_back({"truncated", Bytes(bytes.begin(), bytes.begin() + idat + 40)});
  Bytes flipped = bytes;
  flipped[idat + 20] ^= 0x5a;  // inside the compressed data: the chunk's CRC no longer holds
  damages.push_back({"flipped", flipped});
  Bytes header = bytes;
  header[16] = header[17] = header[18] = header[19] = 0;  // a width of 0
  damages.push_back({"zero-width", header});
  Bytes signatureOnly(bytes.begin(), bytes.begin() + 8);
  damages.push_back({"signature-only", signatureOnly});

  for (const Damage& damage : damages) {
    SCOPED_TRACE(damage.name);
    const std::string input = Join(dir, std::string(damage.name) + ".png");
    const std::string output = Join(dir, std::string(damage.name) + ".qcg");
    WriteFileBytes(input, damage.file);
    RunResult run = Qrv({"encode", input, output});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(run.err.rfind("qrv: " + input + ": ", 0) == 0) << run.err;
    EXPECT_TRUE(Contains(run.err, "PNG")) << run.err;
    EXPECT_FALSE(FileExists(output));
  }
  // Only the inputs are left.
  EXPECT_EQ(NamesIn(dir).size(), damages.size() + 1);
}

TEST(WindowsNames, JapaneseAndAccentedNamesConvertListAndExtract) {
  const std::string dir = FreshDir("名前-Ünïcödé");
  const std::string picture = Join(dir, "テスト画像.qcg");
  const std::string archive = Join(dir, "Übersicht.dat");
  Samples samples = MakeSamples(11, 6, 24, 9);
  WriteFileBytes(picture, EncodeSamples(samples));
  std::vector<writer::ArchiveEntry> entries = {{"readme", {'h', 'i', '\n'}},
                                               {"picture", EncodeSamples(samples)}};
  Bytes archiveBytes;
  std::string error;
  ASSERT_TRUE(writer::WriteArchive(entries, &archiveBytes, &error)) << error;
  WriteFileBytes(archive, archiveBytes);
  ASSERT_EQ(NamesIn(dir), (std::vector<std::wstring>{L"Übersicht.dat", L"テスト画像.qcg"}));

  // convert, with the output named after the input and named anew.
  RunResult run = Qrv({"convert", picture});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, picture + " -> " + Join(dir, "テスト画像.png") + "\n");
  run = Qrv({"convert", picture, Join(dir, "Bild-äöü.bmp")});
  ASSERT_EQ(run.status, 0) << run.err;
  BitmapFile bitmap;
  ASSERT_EQ(ReadBitmapFile(ReadFileBytes(Join(dir, "Bild-äöü.bmp")), &bitmap), "");
  EXPECT_EQ(bitmap.samples, samples.bytes);
  run = Qrv({"convert", picture, "-o", Join(dir, "出力")});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(NamesIn(Join(dir, "出力")), std::vector<std::wstring>{L"テスト画像.png"});
  GUID format = {};
  uint32_t width = 0, height = 0;
  Bytes back;
  ASSERT_TRUE(ReadPng(Join(dir, "テスト画像.png"), &format, &width, &height, &back));
  EXPECT_EQ(back, samples.bytes);

  // info and list name the archive as typed.
  run = Qrv({"info", picture, archive});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(Contains(run.out, picture + ": Quorvanel CG picture")) << run.out;
  EXPECT_TRUE(Contains(run.out, archive + ": Quorvanel Archive")) << run.out;
  run = Qrv({"list", archive});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(Contains(run.out, "  readme\n") && Contains(run.out, "  picture\n")) << run.out;
  run = Qrv({"list", "--json", archive});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(Contains(run.out, "Übersicht.dat\", \"entries\"")) << run.out;

  // extract: through the plug-in's own file output into a directory so named,
  // by name, and to standard output.
  const std::string into = Join(dir, "展開-Ä");
  run = Qrv({"extract", archive, "-C", into});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, Join(into, "readme") + "\n" + Join(into, "picture") + "\n");
  EXPECT_EQ(NamesIn(into), (std::vector<std::wstring>{L"picture", L"readme"}));
  EXPECT_EQ(ReadFileBytes(Join(into, "readme")), entries[0].data);
  EXPECT_EQ(ReadFileBytes(Join(into, "picture")), entries[1].data);
  run = Qrv({"extract", archive, "readme", "--stdout"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "hi\n");

  // encode and pack write such names too.
  run = Qrv({"encode", Join(dir, "テスト画像.png"), Join(dir, "Grün.qcg")});
  ASSERT_EQ(run.status, 0) << run.err;
  run = Qrv({"pack", Join(dir, "Archiv-ß.dat"), Join(dir, "Grün.qcg")});
  ASSERT_EQ(run.status, 0) << run.err;
  run = Qrv({"list", Join(dir, "Archiv-ß.dat")});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(Contains(run.out, "gr__n_qcg")) << run.out;

  // A failure names the file as typed.
  run = Qrv({"convert", Join(dir, "Fehlt-ö.qcg"), Join(dir, "x.png")});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(run.err.rfind("qrv: " + Join(dir, "Fehlt-ö.qcg") + ": ", 0) == 0) << run.err;
}

}  // namespace
}  // namespace qrv::test
