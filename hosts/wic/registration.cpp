// The registration table and the routines that write and remove it. Keys are
// below HKLM\Software\Classes (a machine-wide registration: regsvr32 and the
// installer run elevated).
//
//   CLSID\{decoder}                       the codec class: names, container
//     InprocServer32                      format, vendor, MIME type, extension;
//     Formats\{8bppIndexed}, {24bppBGR}   the pixel formats it gives;
//     Patterns\0, \1                      "QRV" at offset 4 and depth 8 or 24
//   CLSID\{WIC decoders}\Instance\{decoder}   the decoder category's entry
//   CLSID\{thumbnail provider}\InprocServer32
//   .qcg                                  PerceivedType, Content Type (shared)
//   .qcg\ShellEx\{IThumbnailProvider}     names the provider (shared)
#include "registration.h"

#include <olectl.h>
#include <wchar.h>

#include "com_support.h"

#define QRV_WIDEN2(text) L##text
#define QRV_WIDEN(text) QRV_WIDEN2(text)

namespace qrv::wic {
namespace {

#define QRV_DECODER L"{094B471C-64B9-4D8D-B92C-3DCDF8F17C64}"
#define QRV_THUMBNAILS L"{D17B0206-574A-4275-97B4-78BDAB69DE66}"
#define QRV_CONTAINER L"{AC204314-BDEF-48C1-88F0-7B293EB8A0F6}"
#define QRV_VENDOR L"{C66C9445-5FB6-4314-B042-C3F690F14340}"
#define WIC_DECODERS L"{7ED96837-96F0-4812-B211-F13C24117ED3}"
#define SHELL_THUMBNAIL L"{e357fccd-a995-4576-b01f-234630154e96}"
#define PIXEL_8BPP_INDEXED L"{6FDDC324-4E03-4BFE-B185-3D77768DC904}"
#define PIXEL_24BPP_BGR L"{6FDDC324-4E03-4BFE-B185-3D77768DC90C}"

constexpr wchar_t kName[] = L"Quorvanel CG Decoder";
constexpr wchar_t kDecoderKey[] = L"CLSID\\" QRV_DECODER;

// Bytes 4 to 11 of a picture: "QRV", width and height (any), depth 8 or 24.
constexpr BYTE kPattern8[] = {'Q', 'R', 'V', 0, 0, 0, 0, 8};
constexpr BYTE kPattern24[] = {'Q', 'R', 'V', 0, 0, 0, 0, 24};
constexpr BYTE kPatternMask[] = {0xff, 0xff, 0xff, 0, 0, 0, 0, 0xff};

enum class Kind { kKey, kText, kNumber, kBytes, kModulePath };

struct Entry {
  const wchar_t* key;
  const wchar_t* name;  // null: the key's default value
  Kind kind;
  const wchar_t* text = nullptr;
  DWORD number = 0;
  const BYTE* bytes = nullptr;
  DWORD size = 0;
};

// Keys that are the codec's own: written whole, removed whole.
constexpr const wchar_t* kOwnKeys[] = {
    L"CLSID\\" QRV_DECODER,
    L"CLSID\\" QRV_THUMBNAILS,
    L"CLSID\\" WIC_DECODERS L"\\Instance\\" QRV_DECODER,
};

#define PATTERN(n, bytes)                                                             \
  {L"CLSID\\" QRV_DECODER L"\\Patterns\\" n, L"Position", Kind::kNumber, nullptr, 4}, \
  {L"CLSID\\" QRV_DECODER L"\\Patterns\\" n, L"Length", Kind::kNumber, nullptr, 8},   \
  {L"CLSID\\" QRV_DECODER L"\\Patterns\\" n, L"Pattern", Kind::kBytes, nullptr, 0,    \
   bytes, sizeof bytes},                                                              \
  {L"CLSID\\" QRV_DECODER L"\\Patterns\\" n, L"Mask", Kind::kBytes, nullptr, 0,       \
   kPatternMask, sizeof kPatternMask},                                                \
  {L"CLSID\\" QRV_DECODER L"\\Patterns\\" n, L"EndOfStream", Kind::kNumber, nullptr, 0}

const Entry kTable[] = {
    {kDecoderKey, nullptr, Kind::kText, kName},
    {kDecoderKey, L"FriendlyName", Kind::kText, kName},
    {kDecoderKey, L"Author", Kind::kText, L"Quorvanel"},
    {kDecoderKey, L"Vendor", Kind::kText, QRV_VENDOR},
    {kDecoderKey, L"ContainerFormat", Kind::kText, QRV_CONTAINER},
    {kDecoderKey, L"Version", Kind::kText, QRV_WIDEN(QRV_VERSION)},
    {kDecoderKey, L"SpecVersion", Kind::kText, L"1.0.0.0"},
    {kDecoderKey, L"ColorManagementVersion", Kind::kText, L"1.0.0.0"},
    {kDecoderKey, L"MimeTypes", Kind::kText, L"image/x-quorvanel-cg"},
    {kDecoderKey, L"FileExtensions", Kind::kText, L".qcg"},
    {kDecoderKey, L"SupportAnimation", Kind::kNumber, nullptr, 0},
    {kDecoderKey, L"SupportChromakey", Kind::kNumber, nullptr, 0},
    {kDecoderKey, L"SupportLossless", Kind::kNumber, nullptr, 1},
    {kDecoderKey, L"SupportMultiframe", Kind::kNumber, nullptr, 0},
    {L"CLSID\\" QRV_DECODER L"\\InprocServer32", nullptr, Kind::kModulePath},
    {L"CLSID\\" QRV_DECODER L"\\InprocServer32", L"ThreadingModel", Kind::kText, L"Both"},
    {L"CLSID\\" QRV_DECODER L"\\Formats\\" PIXEL_8BPP_INDEXED, nullptr, Kind::kKey},
    {L"CLSID\\" QRV_DECODER L"\\Formats\\" PIXEL_24BPP_BGR, nullptr, Kind::kKey},
    PATTERN(L"0", kPattern8),
    PATTERN(L"1", kPattern24),
    {L"CLSID\\" WIC_DECODERS L"\\Instance\\" QRV_DECODER, L"CLSID", Kind::kText, QRV_DECODER},
    {L"CLSID\\" WIC_DECODERS L"\\Instance\\" QRV_DECODER, L"FriendlyName", Kind::kText, kName},
    {L"CLSID\\" QRV_THUMBNAILS, nullptr, Kind::kText, L"Quorvanel CG Thumbnail Provider"},
    {L"CLSID\\" QRV_THUMBNAILS L"\\InprocServer32", nullptr, Kind::kModulePath},
    {L"CLSID\\" QRV_THUMBNAILS L"\\InprocServer32", L"ThreadingModel", Kind::kText, L"Apartment"},
    // Shared: another program may have made .qcg its own.
    {L".qcg", L"PerceivedType", Kind::kText, L"image"},
    {L".qcg", L"Content Type", Kind::kText, L"image/x-quorvanel-cg"},
    {L".qcg\\ShellEx\\" SHELL_THUMBNAIL, nullptr, Kind::kText, QRV_THUMBNAILS},
};

// Where Register notes what it added to shared keys: one "key" or "value"
// line per item, in the decoder's own key (so it goes with that key).
constexpr wchar_t kAddedValue[] = L"QuorvanelAddedShared";

constexpr wchar_t kClasses[] = L"Software\\Classes";

REGSAM ViewFlag(View view) { return view == View::k32 ? KEY_WOW64_32KEY : 0; }

bool IsOwn(const wchar_t* key) {
  for (const wchar_t* own : kOwnKeys) {
    const size_t n = wcslen(own);
    if (wcsncmp(key, own, n) == 0 && (key[n] == L'\0' || key[n] == L'\\')) return true;
  }
  return false;
}

// A REG_MULTI_SZ list of lines, held as one string with '\n' between them.
class Lines {
 public:
  ~Lines() { free(text_); }
  bool Add(const wchar_t* line) {
    if (Has(line)) return true;
    const size_t have = text_ != nullptr ? wcslen(text_) : 0;
    const size_t more = wcslen(line) + 2;
    auto* grown = static_cast<wchar_t*>(realloc(text_, (have + more) * sizeof(wchar_t)));
    if (grown == nullptr) return false;
    text_ = grown;
    swprintf(text_ + have, more, L"%ls\n", line);
    return true;
  }
  bool Has(const wchar_t* line) const {
    const size_t n = wcslen(line);
    for (const wchar_t* at = text_; at != nullptr && *at != L'\0';) {
      const wchar_t* end = wcschr(at, L'\n');
      if (static_cast<size_t>(end - at) == n && wcsncmp(at, line, n) == 0) return true;
      at = end + 1;
    }
    return false;
  }
  // Calls `visit` with each line that starts with `prefix` (the rest of the
  // line), the last line first.
  template <typename Visit>
  void EachFromLast(const wchar_t* prefix, Visit visit) const {
    if (text_ == nullptr) return;
    const size_t n = wcslen(prefix);
    for (const wchar_t* end = text_ + wcslen(text_); end > text_;) {
      const wchar_t* start = end - 1;
      while (start > text_ && start[-1] != L'\n') --start;
      if (static_cast<size_t>(end - 1 - start) >= n && wcsncmp(start, prefix, n) == 0) {
        wchar_t line[600];
        const size_t length = static_cast<size_t>(end - 1 - start) - n;
        if (length < sizeof line / sizeof line[0]) {
          wmemcpy(line, start + n, length);
          line[length] = L'\0';
          visit(line);
        }
      }
      end = start;
    }
  }
  // Loads a REG_MULTI_SZ's strings; an absent value is an empty list.
  bool Load(HKEY key, const wchar_t* name) {
    DWORD type = 0;
    DWORD bytes = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS ||
        type != REG_MULTI_SZ) {
      return true;
    }
    auto* raw = static_cast<wchar_t*>(calloc(bytes / sizeof(wchar_t) + 2, sizeof(wchar_t)));
    if (raw == nullptr) return false;
    bool ok = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(raw), &bytes) ==
              ERROR_SUCCESS;
    for (const wchar_t* at = raw; ok && *at != L'\0'; at += wcslen(at) + 1) ok = Add(at);
    free(raw);
    return ok;
  }
  LSTATUS Store(HKEY key, const wchar_t* name) const {
    if (text_ == nullptr) {
      RegDeleteValueW(key, name);  // nothing added: no record
      return ERROR_SUCCESS;
    }
    const size_t n = wcslen(text_);
    auto* raw = static_cast<wchar_t*>(calloc(n + 2, sizeof(wchar_t)));
    if (raw == nullptr) return ERROR_OUTOFMEMORY;
    for (size_t i = 0; i < n; ++i) raw[i] = text_[i] == L'\n' ? L'\0' : text_[i];
    const LSTATUS rc = RegSetValueExW(key, name, 0, REG_MULTI_SZ, reinterpret_cast<BYTE*>(raw),
                                      static_cast<DWORD>((n + 1) * sizeof(wchar_t)));
    free(raw);
    return rc;
  }

 private:
  wchar_t* text_ = nullptr;
};

// "value KEY|NAME" and "key KEY", the lines of the record.
void ValueLine(const Entry& entry, wchar_t* line, size_t size) {
  swprintf(line, size, L"value %ls|%ls", entry.key, entry.name != nullptr ? entry.name : L"");
}

HKEY OpenClasses(View view, REGSAM access) {
  HKEY classes = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kClasses, 0, access | ViewFlag(view), &classes) !=
      ERROR_SUCCESS) {
    return nullptr;
  }
  return classes;
}

// Creates `path` below `classes` one level at a time, noting in `created` each
// level that did not exist and is not one of the codec's own keys.
LSTATUS CreatePath(HKEY classes, View view, const wchar_t* path, Lines* created, HKEY* key) {
  wchar_t part[512];
  if (wcslen(path) >= sizeof part / sizeof part[0]) return ERROR_INVALID_PARAMETER;
  LSTATUS rc = ERROR_SUCCESS;
  *key = nullptr;
  for (const wchar_t* end = path; rc == ERROR_SUCCESS;) {
    end = wcschr(end, L'\\');
    const size_t n = end != nullptr ? static_cast<size_t>(end - path) : wcslen(path);
    wmemcpy(part, path, n);
    part[n] = L'\0';
    HKEY level = nullptr;
    DWORD disposition = 0;
    rc = RegCreateKeyExW(classes, part, 0, nullptr, 0, KEY_READ | KEY_WRITE | ViewFlag(view),
                         nullptr, &level, &disposition);
    // The codec's own keys go whole; only the others need remembering.
    if (rc == ERROR_SUCCESS && disposition == REG_CREATED_NEW_KEY && created != nullptr &&
        !IsOwn(part)) {
      wchar_t line[600];
      swprintf(line, sizeof line / sizeof line[0], L"key %ls", part);
      if (!created->Add(line)) rc = ERROR_OUTOFMEMORY;
    }
    if (end == nullptr || rc != ERROR_SUCCESS) {
      *key = level;
      break;
    }
    RegCloseKey(level);
    ++end;
  }
  return rc;
}

LSTATUS SetValue(HKEY key, const Entry& entry, const wchar_t* modulePath) {
  switch (entry.kind) {
    case Kind::kKey: return ERROR_SUCCESS;
    case Kind::kNumber:
      return RegSetValueExW(key, entry.name, 0, REG_DWORD,
                            reinterpret_cast<const BYTE*>(&entry.number), sizeof entry.number);
    case Kind::kBytes:
      return RegSetValueExW(key, entry.name, 0, REG_BINARY, entry.bytes, entry.size);
    case Kind::kText:
    case Kind::kModulePath: {
      const wchar_t* text = entry.kind == Kind::kText ? entry.text : modulePath;
      return RegSetValueExW(key, entry.name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                            static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t)));
    }
  }
  return ERROR_INVALID_PARAMETER;
}

// Whether a shared entry's value is there, and whether it holds what the
// table says. Shared entries are all text.
void ProbeText(HKEY key, const Entry& entry, bool* present, bool* same) {
  wchar_t data[256] = {};
  DWORD type = 0;
  DWORD bytes = sizeof data - sizeof(wchar_t);
  const LSTATUS rc =
      RegQueryValueExW(key, entry.name, nullptr, &type, reinterpret_cast<BYTE*>(data), &bytes);
  *present = rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA;
  *same = rc == ERROR_SUCCESS && type == REG_SZ && wcscmp(data, entry.text) == 0;
}

bool IsEmptyKey(HKEY classes, View view, const wchar_t* path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(classes, path, 0, KEY_READ | ViewFlag(view), &key) != ERROR_SUCCESS) {
    return false;
  }
  DWORD subkeys = 1;
  DWORD values = 1;
  RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                   nullptr, nullptr, nullptr);
  RegCloseKey(key);
  return subkeys == 0 && values == 0;
}

// Removes the codec's own keys, the values in `added` that still hold what
// was written, and the keys in `added` that are left empty.
LSTATUS Remove(HKEY classes, View view, const Lines& added) {
  for (const Entry& entry : kTable) {
    if (IsOwn(entry.key)) continue;
    wchar_t line[600];
    ValueLine(entry, line, sizeof line / sizeof line[0]);
    HKEY key = nullptr;
    if (!added.Has(line) ||
        RegOpenKeyExW(classes, entry.key, 0, KEY_READ | KEY_WRITE | ViewFlag(view), &key) !=
            ERROR_SUCCESS) {
      continue;
    }
    bool present = false;
    bool same = false;
    ProbeText(key, entry, &present, &same);
    if (same) RegDeleteValueW(key, entry.name);
    RegCloseKey(key);
  }
  LSTATUS rc = ERROR_SUCCESS;
  for (const wchar_t* own : kOwnKeys) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(classes, own, 0, KEY_ALL_ACCESS | ViewFlag(view), &key) != ERROR_SUCCESS) {
      continue;
    }
    RegCloseKey(key);
    // RegDeleteTree works in the view of the key it is given.
    const wchar_t* leaf = wcsrchr(own, L'\\');
    wchar_t parentPath[512] = {};
    wcsncpy(parentPath, own, static_cast<size_t>(leaf - own));
    HKEY parent = nullptr;
    LSTATUS step = RegOpenKeyExW(classes, parentPath, 0, KEY_ALL_ACCESS | ViewFlag(view), &parent);
    if (step == ERROR_SUCCESS) {
      step = RegDeleteTreeW(parent, leaf + 1);
      RegCloseKey(parent);
    }
    if (step != ERROR_SUCCESS && step != ERROR_FILE_NOT_FOUND) rc = step;
  }
  // Then the keys registering created (the .qcg keys, and in a view that had
  // no codecs yet the parents of the codec's own), deepest first, each only
  // when nothing else is in it.
  added.EachFromLast(L"key ", [&](const wchar_t* path) {
    if (IsEmptyKey(classes, view, path)) RegDeleteKeyExW(classes, path, ViewFlag(view), 0);
  });
  return rc;
}

}  // namespace

HRESULT Register(View view, const wchar_t* modulePath) {
  if (modulePath == nullptr || modulePath[0] == L'\0') return E_INVALIDARG;
  HKEY classes = OpenClasses(view, KEY_READ | KEY_WRITE);
  if (classes == nullptr) return SELFREG_E_CLASS;
  // What an earlier registration added stays ours.
  Lines added;
  HKEY decoder = nullptr;
  LSTATUS rc = CreatePath(classes, view, kDecoderKey, &added, &decoder);
  if (rc == ERROR_SUCCESS && !added.Load(decoder, kAddedValue)) rc = ERROR_OUTOFMEMORY;
  for (const Entry& entry : kTable) {
    if (rc != ERROR_SUCCESS) break;
    const bool own = IsOwn(entry.key);
    HKEY key = nullptr;
    rc = CreatePath(classes, view, entry.key, &added, &key);
    if (rc != ERROR_SUCCESS) break;
    bool write = own;
    if (!own) {
      bool present = false;
      bool same = false;
      ProbeText(key, entry, &present, &same);
      wchar_t line[600];
      ValueLine(entry, line, sizeof line / sizeof line[0]);
      // Our choice: a value another program set is never replaced.
      write = !present;
      if (write && !added.Add(line)) rc = ERROR_OUTOFMEMORY;
    }
    if (rc == ERROR_SUCCESS && write) rc = SetValue(key, entry, modulePath);
    RegCloseKey(key);
  }
  if (rc == ERROR_SUCCESS) rc = added.Store(decoder, kAddedValue);
  if (decoder != nullptr) RegCloseKey(decoder);
  // Nothing half-written is left behind. The list in memory holds what this
  // run added as well as what earlier ones recorded; the stored one may not.
  if (rc != ERROR_SUCCESS) Remove(classes, view, added);
  RegCloseKey(classes);
  return rc == ERROR_SUCCESS ? S_OK : SELFREG_E_CLASS;
}

HRESULT Unregister(View view) {
  HKEY classes = OpenClasses(view, KEY_READ | KEY_WRITE);
  if (classes == nullptr) return S_OK;  // nothing was ever registered here
  Lines added;
  HKEY decoder = nullptr;
  if (RegOpenKeyExW(classes, kDecoderKey, 0, KEY_READ | ViewFlag(view), &decoder) ==
      ERROR_SUCCESS) {
    const bool loaded = added.Load(decoder, kAddedValue);
    RegCloseKey(decoder);
    if (!loaded) {
      RegCloseKey(classes);
      return E_OUTOFMEMORY;
    }
  }
  const LSTATUS rc = Remove(classes, view, added);
  RegCloseKey(classes);
  return rc == ERROR_SUCCESS ? S_OK : SELFREG_E_CLASS;
}

}  // namespace qrv::wic
