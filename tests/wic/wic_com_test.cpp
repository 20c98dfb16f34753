// The codec DLL as Windows programs meet it, under Wine: registered by its own
// DllRegisterServer, found and created by the real WIC factory, asked for
// thumbnails through the class that .qcg's ShellEx key names, and
// unregistered again, each step checked against a dump of the registry.
//
//   wic_com_tests [--installed]
// --installed: the codec an installer put in place is tested as it is found
// in the registry; nothing is registered or unregistered.
#include <gtest/gtest.h>

#include <windows.h>

#include <initguid.h>
#include <olectl.h>
#include <propsys.h>
#include <shlwapi.h>
#include <thumbcache.h>
#include <wincodec.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "host_block.h"
#include "plugin_library.h"
#include "qrvnel.h"
#include "test_files.h"
#include "wic_cases.h"
#include "wic_picture.h"

namespace qrv::test {
namespace {

bool g_installed = false;

constexpr wchar_t kDecoderClass[] = L"{094B471C-64B9-4D8D-B92C-3DCDF8F17C64}";
constexpr wchar_t kShellThumbnail[] = L".qcg\\ShellEx\\{e357fccd-a995-4576-b01f-234630154e96}";

template <typename T>
struct Com {
  T* p = nullptr;
  ~Com() {
    if (p != nullptr) p->Release();
  }
  T* operator->() const { return p; }
  T** out() { return &p; }
};

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// Every key and value below HKLM\Software\Classes (both views: the 32-bit
// one is a subtree here), one line each.
void Dump(HKEY key, const std::wstring& path, std::set<std::wstring>* lines) {
  lines->insert(path);
  wchar_t name[512];
  BYTE data[4096];
  for (DWORD i = 0;; ++i) {
    DWORD nameSize = 512;
    DWORD dataSize = sizeof data;
    DWORD type = 0;
    if (RegEnumValueW(key, i, name, &nameSize, nullptr, &type, data, &dataSize) != ERROR_SUCCESS) {
      break;
    }
    std::wstring line = path + L"|" + name + L"=" + std::to_wstring(type) + L":";
    for (DWORD b = 0; b < dataSize; ++b) line += L"0123456789abcdef"[data[b] >> 4], line += L"0123456789abcdef"[data[b] & 15];
    lines->insert(line);
  }
  for (DWORD i = 0;; ++i) {
    DWORD nameSize = 512;
    if (RegEnumKeyExW(key, i, name, &nameSize, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
      break;
    }
    HKEY child = nullptr;
    if (RegOpenKeyExW(key, name, 0, KEY_READ, &child) == ERROR_SUCCESS) {
      Dump(child, path + L"\\" + name, lines);
      RegCloseKey(child);
    }
  }
}

// Wine needs seconds for the whole of Software\Classes, so most checks take
// the places a registration can reach: every key name at the top and below
// CLSID (a new one anywhere there shows), and whole the keys the codec writes,
// in both views.
std::set<std::wstring> Snapshot(bool whole = false) {
  std::set<std::wstring> lines;
  HKEY classes = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Classes", 0, KEY_READ, &classes) != 0) return lines;
  if (whole) Dump(classes, L"", &lines);
  const wchar_t* const views[] = {L"", L"Wow6432Node\\"};
  for (const wchar_t* view : views) {
    if (whole) break;
    const std::wstring base = std::wstring(L"\\") + view;
    for (const std::wstring& list : {base, base + L"CLSID"}) {
      HKEY key = nullptr;
      if (RegOpenKeyExW(classes, list.c_str() + 1, 0, KEY_READ, &key) != 0) continue;
      wchar_t name[512];
      for (DWORD i = 0, size = 512; RegEnumKeyExW(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) == 0;
           ++i, size = 512) {
        lines.insert(list + (list.back() == L'\\' ? L"" : L"\\") + name);
      }
      RegCloseKey(key);
    }
    for (const wchar_t* own : {L".qcg", L"CLSID\\{094B471C-64B9-4D8D-B92C-3DCDF8F17C64}",
                               L"CLSID\\{D17B0206-574A-4275-97B4-78BDAB69DE66}",
                               L"CLSID\\{7ED96837-96F0-4812-B211-F13C24117ED3}"}) {
      HKEY key = nullptr;
      const std::wstring path = base + own;
      if (RegOpenKeyExW(classes, path.c_str() + 1, 0, KEY_READ, &key) != 0) continue;
      Dump(key, path, &lines);
      RegCloseKey(key);
    }
  }
  RegCloseKey(classes);
  return lines;
}

// Lines in `a` and not in `b`.
std::vector<std::wstring> Minus(const std::set<std::wstring>& a, const std::set<std::wstring>& b) {
  std::vector<std::wstring> out;
  std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
  return out;
}

std::string Narrow(const std::vector<std::wstring>& lines) {
  std::string out;
  for (const auto& l : lines) out += std::string(l.begin(), l.end()) + "\n";
  return out;
}

std::wstring ReadText(HKEY root, const wchar_t* key, const wchar_t* name, REGSAM view = 0) {
  wchar_t text[512] = {};
  DWORD size = sizeof text - sizeof(wchar_t);
  if (RegGetValueW(root, key, name, RRF_RT_REG_SZ | (view == KEY_WOW64_32KEY ? RRF_SUBKEY_WOW6432KEY : 0),
                   nullptr, text, &size) != ERROR_SUCCESS) {
    return {};
  }
  return text;
}

std::wstring CodecPath() {
  return g_installed
             ? ReadText(HKEY_CLASSES_ROOT, (std::wstring(L"CLSID\\") + kDecoderClass + L"\\InprocServer32").c_str(), nullptr)
             : Wide(ProgramDirectory() + "quorvanel-wic.dll");
}

HRESULT CallExport(const char* name) {
  HMODULE module = LoadLibraryW(CodecPath().c_str());
  auto fn = reinterpret_cast<HRESULT(WINAPI*)()>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  const HRESULT hr = fn != nullptr ? fn() : E_FAIL;
  FreeLibrary(module);
  return hr;
}

HRESULT CallInstall(BOOL install, const std::wstring& line) {
  HMODULE module = LoadLibraryW(CodecPath().c_str());
  auto fn = reinterpret_cast<HRESULT(WINAPI*)(BOOL, LPCWSTR)>(
      reinterpret_cast<void*>(GetProcAddress(module, "DllInstall")));
  const HRESULT hr = fn != nullptr ? fn(install, line.c_str()) : E_FAIL;
  FreeLibrary(module);
  return hr;
}

// The registry before registering (whole, and the codec's places) and after.
std::set<std::wstring> g_beforeWhole;
std::set<std::wstring> g_before;
std::set<std::wstring> g_registered;

class Registered : public ::testing::Environment {
 public:
  void SetUp() override {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (g_installed) return;
    g_beforeWhole = Snapshot(true);
    g_before = Snapshot();
    ASSERT_EQ(CallExport("DllRegisterServer"), S_OK);
    g_registered = Snapshot();
  }
  void TearDown() override {
    if (!g_installed) {
      EXPECT_EQ(CallExport("DllUnregisterServer"), S_OK);
    }
    CoUninitialize();
  }
};

IWICImagingFactory* Factory() {
  static IWICImagingFactory* factory = [] {
    IWICImagingFactory* made = nullptr;
    CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                     reinterpret_cast<void**>(&made));
    return made;
  }();
  return factory;
}

// Whether the factory's decoder list holds the codec, and its info when it does.
bool FindDecoder(IWICBitmapDecoderInfo** found) {
  Com<IEnumUnknown> list;
  if (FAILED(Factory()->CreateComponentEnumerator(WICDecoder, WICComponentEnumerateRefresh, list.out()))) {
    return false;
  }
  IUnknown* item = nullptr;
  ULONG n = 0;
  bool seen = false;
  while (list->Next(1, &item, &n) == S_OK) {
    Com<IWICBitmapDecoderInfo> info;
    CLSID clsid = {};
    wchar_t text[64] = {};
    if (SUCCEEDED(item->QueryInterface(IID_IWICBitmapDecoderInfo, reinterpret_cast<void**>(info.out()))) &&
        SUCCEEDED(info->GetCLSID(&clsid)) && StringFromGUID2(clsid, text, 64) > 0 &&
        wcscmp(text, kDecoderClass) == 0) {
      seen = true;
      if (found != nullptr) info->QueryInterface(IID_IWICBitmapDecoderInfo, reinterpret_cast<void**>(found));
    }
    item->Release();
  }
  return seen;
}

// The picture as the plug-in's own GetPicture gives it, rows from the top in
// the frame's format, and its colour table as WIC colours.
struct Reference {
  Bytes rows;
  std::vector<uint32_t> colours;
};

Reference PluginDecode(const Bytes& file) {
  static PluginLibrary plugin;
  if (!plugin.IsOpen()) {
    EXPECT_TRUE(plugin.Open(ProgramDirectory() + PluginFileName("ifqrvnel")));
  }
  auto getPicture = plugin.Get<GetPictureFn>("GetPicture");
  Bytes copy = file;
  QrvBlock info = nullptr;
  QrvBlock bits = nullptr;
  Reference ref;
  if (getPicture(reinterpret_cast<char*>(copy.data()), static_cast<int32_t>(copy.size()), QRV_INPUT_MEMORY,
                 &info, &bits, nullptr, 0) != RC_OK) {
    ADD_FAILURE() << "the plug-in refused a test picture";
    return ref;
  }
  host::HostBlock infoBlock(info);
  host::HostBlock bitsBlock(bits);
  QrvBitmapHeader header;
  std::memcpy(&header, infoBlock.Lock(), sizeof header);
  const uint32_t rowBytes = static_cast<uint32_t>(header.width) * header.bit_count / 8;
  const uint32_t stride = (rowBytes + 3) & ~3u;
  for (int32_t y = header.height - 1; y >= 0; --y) {
    const uint8_t* row = bitsBlock.Lock() + size_t{stride} * static_cast<uint32_t>(y);
    ref.rows.insert(ref.rows.end(), row, row + rowBytes);
  }
  const uint8_t* table = infoBlock.Lock() + sizeof header;
  for (int i = 0; header.bit_count == 8 && i < 256; ++i) {
    ref.colours.push_back(0xff000000u | table[4 * i + 2] << 16 | table[4 * i + 1] << 8 | table[4 * i]);
  }
  return ref;
}

std::string WriteScratch(const std::string& name, const Bytes& bytes) {
  std::string path = ScratchPath(name);
  std::replace(path.begin(), path.end(), ' ', '_');
  WriteFileBytes(path, bytes);
  return path;
}

// A stream over `skip` bytes that are no picture and then `bytes`, standing
// at `bytes`, as a container hands over a picture it holds.
IStream* MemoryStream(const Bytes& bytes, ULONG skip = 0) {
  Bytes all(skip, 0x5a);
  all.insert(all.end(), bytes.begin(), bytes.end());
  IStream* stream = SHCreateMemStream(all.data(), static_cast<UINT>(all.size()));
  LARGE_INTEGER at = {};
  at.QuadPart = skip;
  if (stream != nullptr) stream->Seek(at, STREAM_SEEK_SET, nullptr);
  return stream;
}

// The two ways a program opens a file through the factory.
HRESULT OpenThroughFactory(const Bytes& file, const std::string& path, bool fromStream,
                           IWICBitmapDecoder** decoder) {
  if (!fromStream) {
    return Factory()->CreateDecoderFromFilename(Wide(path).c_str(), nullptr, GENERIC_READ,
                                                WICDecodeMetadataCacheOnDemand, decoder);
  }
  Com<IStream> stream;
  stream.p = MemoryStream(file);
  return Factory()->CreateDecoderFromStream(stream.p, nullptr, WICDecodeMetadataCacheOnDemand, decoder);
}

// The decoder class asked directly about a stream that stands 7 bytes in:
// QueryCapability leaves it there, and the picture is read from there.
HRESULT OpenPartWay(const Bytes& file, IWICBitmapDecoder** decoder) {
  CLSID clsid = {};
  CLSIDFromString(kDecoderClass, &clsid);
  HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IWICBitmapDecoder,
                                reinterpret_cast<void**>(decoder));
  Com<IStream> stream;
  stream.p = MemoryStream(file, 7);
  DWORD capability = 0;
  if (SUCCEEDED(hr)) hr = (*decoder)->QueryCapability(stream.p, &capability);
  ULARGE_INTEGER at = {};
  if (SUCCEEDED(hr)) hr = stream->Seek({}, STREAM_SEEK_CUR, &at);
  EXPECT_EQ(capability, static_cast<DWORD>(WICBitmapDecoderCapabilityCanDecodeAllImages));
  EXPECT_EQ(at.QuadPart, 7u);
  if (SUCCEEDED(hr)) hr = (*decoder)->Initialize(stream.p, WICDecodeMetadataCacheOnDemand);
  return hr;
}

TEST(WicRegistration, RegisteringAddsOnlyTheCodecsKeysAndTheFactoryListsIt) {
  if (g_installed) GTEST_SKIP() << "the installer registered the codec";
  const auto removed = Minus(g_before, g_registered);
  const auto added = Minus(g_registered, g_before);
  EXPECT_TRUE(removed.empty()) << Narrow(removed);
  EXPECT_GT(added.size(), 30u);
  const std::wstring roots[] = {std::wstring(L"\\CLSID\\") + kDecoderClass,
                                L"\\CLSID\\{D17B0206-574A-4275-97B4-78BDAB69DE66}",
                                std::wstring(L"\\CLSID\\{7ED96837-96F0-4812-B211-F13C24117ED3}\\Instance\\") + kDecoderClass,
                                L"\\.qcg"};
  for (const auto& line : added) {
    EXPECT_TRUE(std::any_of(std::begin(roots), std::end(roots),
                            [&](const std::wstring& root) { return line.rfind(root, 0) == 0; }))
        << Narrow({line});
  }
}

TEST(WicRegistration, TheFactoryDescribesTheCodecAsRegistered) {
  Com<IWICBitmapDecoderInfo> info;
  ASSERT_TRUE(FindDecoder(info.out()));
  wchar_t text[256];
  UINT n = 0;
  ASSERT_EQ(info->GetFileExtensions(256, text, &n), S_OK);
  EXPECT_STREQ(text, L".qcg");
  ASSERT_EQ(info->GetMimeTypes(256, text, &n), S_OK);
  EXPECT_STREQ(text, L"image/x-quorvanel-cg");
  GUID formats[4] = {};
  ASSERT_EQ(info->GetPixelFormats(4, formats, &n), S_OK);
  ASSERT_EQ(n, 2u);
  EXPECT_TRUE(std::count(formats, formats + 2, GUID_WICPixelFormat8bppIndexed) == 1 &&
              std::count(formats, formats + 2, GUID_WICPixelFormat24bppBGR) == 1);
  GUID container = {};
  ASSERT_EQ(info->GetContainerFormat(&container), S_OK);
  // The decoder's own answer agrees with its registration.
  Com<IWICBitmapDecoder> decoder;
  ASSERT_EQ(info->CreateInstance(decoder.out()), S_OK);
  GUID reported = {};
  ASSERT_EQ(decoder->GetContainerFormat(&reported), S_OK);
  EXPECT_EQ(reported, container);
}

TEST(WicDecoder, EveryPictureThroughTheFactoryHasThePluginsPixels) {
  for (const PictureCase& p : PictureCases()) {
    const Reference ref = PluginDecode(p.file);
    const std::string path = WriteScratch(p.name + ".qcg", p.file);
    const uint32_t pixel = static_cast<uint32_t>(p.bits / 8);
    const char* const ways[] = {"from a file", "from a stream", "from a stream 7 bytes in"};
    for (int way = 0; way < 3; ++way) {
      SCOPED_TRACE(p.name + " " + ways[way]);
      Com<IWICBitmapDecoder> decoder;
      ASSERT_EQ(way == 2 ? OpenPartWay(p.file, decoder.out())
                         : OpenThroughFactory(p.file, path, way == 1, decoder.out()),
                S_OK);
      Com<IWICBitmapFrameDecode> frame;
      ASSERT_EQ(decoder->GetFrame(0, frame.out()), S_OK);
      UINT width = 0, height = 0;
      ASSERT_EQ(frame->GetSize(&width, &height), S_OK);
      EXPECT_EQ(width * 10000 + height, p.width * 10000 + p.height);
      GUID format = {};
      ASSERT_EQ(frame->GetPixelFormat(&format), S_OK);
      EXPECT_EQ(format, p.bits == 8 ? GUID_WICPixelFormat8bppIndexed : GUID_WICPixelFormat24bppBGR);
      Com<IWICPalette> palette;
      ASSERT_EQ(Factory()->CreatePalette(palette.out()), S_OK);
      if (p.bits == 8) {
        ASSERT_EQ(frame->CopyPalette(palette.p), S_OK);
        std::vector<uint32_t> colours(256);
        ASSERT_EQ(palette->GetColors(256, colours.data(), &width), S_OK);
        EXPECT_EQ(colours, ref.colours);
      } else {
        EXPECT_EQ(frame->CopyPalette(palette.p), WINCODEC_ERR_PALETTEUNAVAILABLE);
      }
      // Rectangles at every edge, with odd strides, against the plug-in's rows.
      const INT w = static_cast<INT>(p.width), h = static_cast<INT>(p.height);
      const WICRect rects[] = {{0, 0, w, h}, {0, 0, 1, 1}, {w - 1, h - 1, 1, 1}, {0, h - 1, w, 1},
                               {w - 1, 0, 1, h}, {w / 3, h / 3, w - w / 3, h - h / 3}};
      for (const WICRect& r : rects) {
        const UINT rowBytes = static_cast<UINT>(r.Width) * pixel;
        const UINT stride = rowBytes + 3;
        Bytes got(size_t{stride} * static_cast<UINT>(r.Height), 0);
        const UINT size = static_cast<UINT>(got.size()) - 3;
        ASSERT_EQ(frame->CopyPixels(&r, stride, size, got.data()), S_OK);
        for (INT y = 0; y < r.Height; ++y) {
          const auto want = ref.rows.begin() + static_cast<long>((size_t{static_cast<UINT>(r.Y + y)} * p.width +
                                                                  static_cast<UINT>(r.X)) * pixel);
          EXPECT_TRUE(std::equal(want, want + rowBytes, got.begin() + static_cast<long>(stride) * y))
              << "rect " << r.X << "," << r.Y << " " << r.Width << "x" << r.Height << " row " << y;
        }
        EXPECT_EQ(frame->CopyPixels(&r, stride, size - 1, got.data()), WINCODEC_ERR_INSUFFICIENTBUFFER);
      }
      const WICRect outside = {0, 0, w + 1, h};
      Bytes buffer(size_t{p.width + 1} * p.height * pixel);
      EXPECT_EQ(frame->CopyPixels(&outside, (p.width + 1) * pixel, static_cast<UINT>(buffer.size()),
                                  buffer.data()),
                E_INVALIDARG);
    }
  }
}

HRESULT Thumbnail(const Bytes& file, UINT cx, HBITMAP* bitmap, ULONG skip = 0) {
  const std::wstring clsidText = ReadText(HKEY_CLASSES_ROOT, kShellThumbnail, nullptr);
  CLSID clsid = {};
  if (FAILED(CLSIDFromString(clsidText.c_str(), &clsid))) return E_FAIL;
  Com<IInitializeWithStream> init;
  HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, __uuidof(IInitializeWithStream),
                                reinterpret_cast<void**>(init.out()));
  Com<IStream> stream;
  stream.p = MemoryStream(file, skip);
  if (SUCCEEDED(hr)) hr = init->Initialize(stream.p, STGM_READ);
  Com<IThumbnailProvider> provider;
  if (SUCCEEDED(hr)) hr = init->QueryInterface(__uuidof(IThumbnailProvider), reinterpret_cast<void**>(provider.out()));
  WTS_ALPHATYPE alpha = WTSAT_UNKNOWN;
  *bitmap = reinterpret_cast<HBITMAP>(1);
  if (SUCCEEDED(hr)) hr = provider->GetThumbnail(cx, bitmap, &alpha);
  if (SUCCEEDED(hr)) {
    EXPECT_EQ(alpha, WTSAT_RGB);
  }
  return hr;
}

TEST(WicThumbnail, TheShellExtensionClassScalesEveryPicture) {
  for (const PictureCase& p : PictureCases()) {
    // The expected pixels: the plug-in's picture, scaled by the same rules.
    wic::Picture picture;
    ASSERT_EQ(picture.Decode(p.file.data(), p.file.size()), wic::Status::kOk);
    // The last one handed over in a stream that stands 7 bytes in.
    const struct {
      UINT cx;
      ULONG skip;
    } sizes[] = {{1, 0}, {4, 0}, {32, 0}, {256, 7}};
    for (const auto [cx, skip] : sizes) {
      SCOPED_TRACE(p.name + " cx " + std::to_string(cx) + " skip " + std::to_string(skip));
      HBITMAP bitmap = nullptr;
      ASSERT_EQ(Thumbnail(p.file, cx, &bitmap, skip), S_OK);
      DIBSECTION dib = {};
      ASSERT_EQ(GetObjectW(bitmap, sizeof dib, &dib), static_cast<int>(sizeof dib));
      wic::Thumbnail want;
      ASSERT_EQ(wic::MakeThumbnail(picture, cx, &want), wic::Status::kOk);
      EXPECT_EQ(dib.dsBm.bmBitsPixel, 32);
      // Top-down: GDI's pixel (0, 0) is the first in memory.
      HDC dc = CreateCompatibleDC(nullptr);
      HGDIOBJ old = SelectObject(dc, bitmap);
      const COLORREF first = GetPixel(dc, 0, 0);
      SelectObject(dc, old);
      DeleteDC(dc);
      EXPECT_EQ(static_cast<uint32_t>(dib.dsBm.bmWidth), want.width);
      EXPECT_EQ(static_cast<uint32_t>(dib.dsBm.bmHeight), want.height);
      EXPECT_EQ(std::max(want.width, want.height), std::min(cx, std::max(p.width, p.height)));
      const auto* bits = static_cast<const uint8_t*>(dib.dsBm.bmBits);
      EXPECT_TRUE(std::equal(bits, bits + want.pixels.size(), want.pixels.data()));
      EXPECT_EQ(first, RGB(want.pixels.data()[2], want.pixels.data()[1], want.pixels.data()[0]));
      if (cx >= std::max(p.width, p.height)) {  // unscaled: the plug-in's own pixels
        const Reference ref = PluginDecode(p.file);
        for (uint32_t i = 0; i < p.width * p.height; ++i) {
          const uint32_t argb = p.bits == 8 ? ref.colours[ref.rows[i]]
                                            : 0xff000000u | ref.rows[3 * i + 2] << 16 |
                                                  ref.rows[3 * i + 1] << 8 | ref.rows[3 * i];
          ASSERT_EQ(bits[4 * i] | bits[4 * i + 1] << 8 | bits[4 * i + 2] << 16 | 0xff000000u, argb) << i;
        }
      }
      DeleteObject(bitmap);
    }
  }
}

TEST(WicDamaged, EveryPathFailsWithAWicErrorAndHandsNothingOut) {
  const HRESULT decodeError[] = {S_OK, S_OK, WINCODEC_ERR_STREAMREAD, WINCODEC_ERR_BADIMAGE};
  const HRESULT headerError[] = {WINCODEC_ERR_BADHEADER, WINCODEC_ERR_IMAGESIZEOUTOFRANGE, S_OK, S_OK};
  for (const DamagedCase& d : DamagedCases()) {
    const int kind = static_cast<int>(d.failure);
    const bool headerFails = d.failure == Failure::kNotPicture || d.failure == Failure::kTooLarge;
    const std::string path = WriteScratch(d.name + ".qcg", d.file);
    for (bool fromStream : {false, true}) {
      SCOPED_TRACE(d.name + (fromStream ? " from a stream" : " from a file"));
      Com<IWICBitmapDecoder> decoder;
      const HRESULT hr = OpenThroughFactory(d.file, path, fromStream, decoder.out());
      if (headerFails) {
        EXPECT_TRUE(FAILED(hr) && decoder.p == nullptr) << std::hex << hr;
        continue;
      }
      ASSERT_EQ(hr, S_OK);
      Com<IWICBitmapFrameDecode> frame;
      ASSERT_EQ(decoder->GetFrame(0, frame.out()), S_OK);
      Bytes buffer(37 * 21 * 3, 0xee);
      EXPECT_EQ(frame->CopyPixels(nullptr, 37 * 3, static_cast<UINT>(buffer.size()), buffer.data()),
                decodeError[kind]);
      EXPECT_EQ(buffer, Bytes(37 * 21 * 3, 0xee)) << "half a picture was handed out";
      // A second call gives the same answer from the one decode.
      EXPECT_EQ(frame->CopyPixels(nullptr, 37 * 3, static_cast<UINT>(buffer.size()), buffer.data()),
                decodeError[kind]);
    }
    // The decoder class on its own: QueryCapability and Initialize.
    CLSID clsid = {};
    CLSIDFromString(kDecoderClass, &clsid);
    Com<IWICBitmapDecoder> direct;
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IWICBitmapDecoder,
                               reinterpret_cast<void**>(direct.out())),
              S_OK);
    Com<IStream> stream;
    stream.p = MemoryStream(d.file);
    DWORD capability = 99;
    EXPECT_EQ(direct->QueryCapability(stream.p, &capability), S_OK);
    EXPECT_EQ(capability != 0, d.failure != Failure::kNotPicture) << d.name;
    EXPECT_EQ(direct->Initialize(stream.p, WICDecodeMetadataCacheOnDemand), headerError[kind]) << d.name;
    HBITMAP bitmap = nullptr;
    EXPECT_EQ(Thumbnail(d.file, 96, &bitmap), headerFails ? headerError[kind] : decodeError[kind]) << d.name;
    EXPECT_EQ(bitmap, nullptr) << d.name;
  }
}

TEST(WicLifetime, ReferenceCountsAreExactAndTheDllUnloadsWhenAllIsReleased) {
  const PictureCase p = PictureCases()[1];
  HMODULE module = LoadLibraryW(CodecPath().c_str());
  auto canUnload = reinterpret_cast<HRESULT(WINAPI*)()>(
      reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")));
  ASSERT_NE(canUnload, nullptr);
  EXPECT_EQ(canUnload(), S_OK);
  CLSID clsid = {};
  CLSIDFromString(kDecoderClass, &clsid);
  IWICBitmapDecoder* decoder = nullptr;
  ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IWICBitmapDecoder,
                             reinterpret_cast<void**>(&decoder)),
            S_OK);
  EXPECT_EQ(decoder->AddRef(), 2u);
  EXPECT_EQ(decoder->Release(), 1u);
  IStream* stream = MemoryStream(p.file);
  ASSERT_EQ(decoder->Initialize(stream, WICDecodeMetadataCacheOnDemand), S_OK);
  EXPECT_EQ(decoder->Initialize(stream, WICDecodeMetadataCacheOnDemand), WINCODEC_ERR_WRONGSTATE);
  EXPECT_EQ(stream->Release(), 1u) << "the decoder holds the stream";
  IWICBitmapFrameDecode* frame = nullptr;
  ASSERT_EQ(decoder->GetFrame(0, &frame), S_OK);
  IWICBitmapFrameDecode* missing = frame;
  EXPECT_EQ(decoder->GetFrame(1, &missing), WINCODEC_ERR_FRAMEMISSING);
  EXPECT_EQ(missing, nullptr);
  EXPECT_EQ(decoder->Release(), 1u) << "the frame keeps its decoder";
  EXPECT_EQ(canUnload(), S_FALSE);
  Bytes rows(p.width * p.height);
  EXPECT_EQ(frame->CopyPixels(nullptr, p.width, static_cast<UINT>(rows.size()), rows.data()), S_OK);
  EXPECT_EQ(rows, p.samples);
  EXPECT_EQ(frame->Release(), 0u);
  EXPECT_EQ(canUnload(), S_OK);
  FreeLibrary(module);
}

TEST(WicUnregistration, RemovesExactlyWhatRegisteringAdded) {
  if (g_installed) GTEST_SKIP() << "the installer registered the codec";
  const PictureCase p = PictureCases()[0];
  const std::string path = WriteScratch("registered.qcg", p.file);
  ASSERT_EQ(CallExport("DllUnregisterServer"), S_OK);
  const auto unregistered = Snapshot(true);
  EXPECT_EQ(Narrow(Minus(unregistered, g_beforeWhole)) + Narrow(Minus(g_beforeWhole, unregistered)), "");
  EXPECT_FALSE(FindDecoder(nullptr));
  const auto before = Snapshot();
  Com<IWICBitmapDecoder> decoder;
  EXPECT_TRUE(FAILED(OpenThroughFactory(p.file, path, false, decoder.out())));

  // A .qcg association of another program: its values stay, ours go.
  HKEY other = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Classes\\.qcg", 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &other, nullptr),
            0);
  const wchar_t program[] = L"Other.Picture", type[] = L"image/other";
  RegSetValueExW(other, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(program), sizeof program);
  RegSetValueExW(other, L"Content Type", 0, REG_SZ, reinterpret_cast<const BYTE*>(type), sizeof type);
  RegCloseKey(other);
  const auto withOther = Snapshot();
  ASSERT_EQ(CallExport("DllRegisterServer"), S_OK);
  EXPECT_EQ(ReadText(HKEY_CLASSES_ROOT, L".qcg", L"Content Type"), type);
  EXPECT_EQ(ReadText(HKEY_CLASSES_ROOT, L".qcg", nullptr), program);
  EXPECT_EQ(ReadText(HKEY_CLASSES_ROOT, kShellThumbnail, nullptr), L"{D17B0206-574A-4275-97B4-78BDAB69DE66}");
  ASSERT_EQ(CallExport("DllUnregisterServer"), S_OK);
  EXPECT_EQ(Narrow(Minus(Snapshot(), withOther)) + Narrow(Minus(withOther, Snapshot())), "");
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"Software\\Classes\\.qcg");

  // A registration that fails part way takes back what it wrote: a volatile
  // .qcg key refuses the lasting ShellEx key below it, after .qcg got our values.
  HKEY fleeting = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Classes\\.qcg", 0, nullptr, REG_OPTION_VOLATILE,
                            KEY_ALL_ACCESS, nullptr, &fleeting, nullptr),
            0);
  RegCloseKey(fleeting);
  const auto withFleeting = Snapshot();
  EXPECT_EQ(CallExport("DllRegisterServer"), SELFREG_E_CLASS);
  EXPECT_EQ(Narrow(Minus(Snapshot(), withFleeting)) + Narrow(Minus(withFleeting, Snapshot())), "");
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"Software\\Classes\\.qcg");

  // The 32-bit view, as the installer writes it for the 32-bit DLL.
  const std::wstring dll = CodecPath();
  EXPECT_EQ(CallInstall(TRUE, L"C:\\no\\such.dll"), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  ASSERT_EQ(CallInstall(TRUE, dll), S_OK);
  const std::wstring server = std::wstring(L"Software\\Classes\\CLSID\\") + kDecoderClass + L"\\InprocServer32";
  EXPECT_EQ(ReadText(HKEY_LOCAL_MACHINE, server.c_str(), nullptr, KEY_WOW64_32KEY), dll);
  EXPECT_EQ(ReadText(HKEY_LOCAL_MACHINE, server.c_str(), nullptr), L"") << "the 64-bit view was written";
  ASSERT_EQ(CallInstall(FALSE, L""), S_OK);
  EXPECT_EQ(Narrow(Minus(Snapshot(), before)) + Narrow(Minus(before, Snapshot())), "");
  ASSERT_EQ(CallExport("DllRegisterServer"), S_OK);  // as the environment left it
}

TEST(WicInstalled, The32BitViewNamesThe32BitDll) {
  if (!g_installed) GTEST_SKIP() << "only an installed codec has a 32-bit DLL";
  const std::wstring server = std::wstring(L"Software\\Classes\\CLSID\\") + kDecoderClass + L"\\InprocServer32";
  const std::wstring dll = ReadText(HKEY_LOCAL_MACHINE, server.c_str(), nullptr, KEY_WOW64_32KEY);
  ASSERT_NE(dll, L"");
  EXPECT_NE(dll, CodecPath());
  // A PE file for i386 (machine 0x14c).
  HANDLE file = CreateFileW(dll.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  BYTE head[1024] = {};
  DWORD got = 0;
  ReadFile(file, head, sizeof head, &got, nullptr);
  CloseHandle(file);
  LONG at = 0;
  std::memcpy(&at, head + 0x3c, 4);
  ASSERT_TRUE(at > 0 && at + 6 < static_cast<LONG>(got));
  EXPECT_EQ(std::memcmp(head + at, "PE\0\0\x4c\x01", 6), 0);
  EXPECT_EQ(ReadText(HKEY_LOCAL_MACHINE, (std::wstring(L"Software\\Classes\\") + kShellThumbnail).c_str(),
                     nullptr, KEY_WOW64_32KEY),
            L"{D17B0206-574A-4275-97B4-78BDAB69DE66}");
}

}  // namespace
}  // namespace qrv::test

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--installed") == 0) qrv::test::g_installed = true;
  }
  ::testing::AddGlobalTestEnvironment(new qrv::test::Registered);
  return RUN_ALL_TESTS();
}
