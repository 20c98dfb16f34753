// Both plug-ins loaded as a host loads them (dlopen or LoadLibraryA) and asked
// who they are through the GetPluginInfo export, looked up by its plain name.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "plugin_library.h"
#include "qrvnel.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace qrv {
namespace {

struct PluginCase {
  const char* base;
  const char* strings[4];
};

const PluginCase kPlugins[] = {
    {"ifqrvnel", {"00IN", "Quorvanel CG to DIB filter ver0.02", "*", "Quorvanel CG (*)"}},
    {"axqrvnel",
     {"00AM", "AxQrvNel - Quorvanel Archive extract library ver0.02", "*.dat",
      "Quorvanel Archive (*.DAT)"}},
};

class PluginInfo : public testing::TestWithParam<PluginCase> {
 protected:
  void SetUp() override {
    std::string path = ProgramDirectory() + PluginFileName(GetParam().base);
    ASSERT_TRUE(library_.Open(path)) << path << ": " << library_.error();
    info_ = library_.Get<GetPluginInfoFn>("GetPluginInfo");
    ASSERT_NE(info_, nullptr);
  }

  PluginLibrary library_;
  GetPluginInfoFn info_ = nullptr;
};

TEST_P(PluginInfo, CopiesEachStringWithinTheBuffer) {
  const PluginCase& plugin = GetParam();
  for (int32_t index = 0; index < 4; ++index) {
    const std::string entry = plugin.strings[index];
    for (int32_t buflen : {1, 2, 5, 10, 64, 200}) {
      char buf[256];
      std::memset(buf, 0x7e, sizeof buf);
      int32_t expected = std::min<int32_t>(static_cast<int32_t>(entry.size()), buflen - 1);
      ASSERT_EQ(info_(index, buf, buflen), expected) << "index " << index << " buflen " << buflen;
      EXPECT_EQ(std::string(buf), entry.substr(0, static_cast<size_t>(expected)));
      // strncpy semantics: zeros up to the end of the buffer, nothing after it.
      for (int32_t i = expected; i < buflen; ++i) ASSERT_EQ(buf[i], 0) << "byte " << i;
      EXPECT_EQ(buf[buflen], 0x7e) << "byte after the buffer";
    }
  }
}

TEST_P(PluginInfo, OutOfRangeLeavesTheBufferAlone) {
  struct Row {
    int32_t index;
    int32_t buflen;
  };
  for (Row row : {Row{4, 64}, Row{-1, 64}, Row{5, 64}, Row{0x7fffffff, 64}, Row{0, 0},
                  Row{1, -5}}) {
    char buf[64];
    std::memset(buf, 0x7e, sizeof buf);
    EXPECT_EQ(info_(row.index, buf, row.buflen), 0) << "index " << row.index;
    for (char c : buf) ASSERT_EQ(c, 0x7e) << "index " << row.index << " buflen " << row.buflen;
  }
}

TEST_P(PluginInfo, WorkedExamples) {
  char buf[64];
  EXPECT_EQ(info_(0, buf, 64), 4);
  EXPECT_STREQ(buf, GetParam().strings[0]);
  EXPECT_EQ(info_(1, buf, 10), 9);
  EXPECT_EQ(std::string(buf), std::string(GetParam().strings[1]).substr(0, 9));
  std::memset(buf, 0x7e, sizeof buf);
  EXPECT_EQ(info_(3, buf, 1), 0);
  EXPECT_EQ(buf[0], 0);
  EXPECT_EQ(buf[1], 0x7e);
}

TEST_P(PluginInfo, LoadsAgainAfterUnloading) {
  library_.Close();
  std::string path = ProgramDirectory() + PluginFileName(GetParam().base);
  for (int round = 0; round < 3; ++round) {
    PluginLibrary again;
    ASSERT_TRUE(again.Open(path)) << again.error();
    auto info = again.Get<GetPluginInfoFn>("GetPluginInfo");
    ASSERT_NE(info, nullptr);
    char buf[8];
    EXPECT_EQ(info(0, buf, 8), 4);
  }
}

#if defined(_WIN32)
// The DLL's version resource carries the about text, as Explorer shows it.
TEST_P(PluginInfo, VersionResourceDescribesThePlugin) {
  std::string path = ProgramDirectory() + PluginFileName(GetParam().base);
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
  ASSERT_GT(size, 0u);
  std::string data(size, '\0');
  ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, data.data()));
  auto value = [&](const char* key) -> std::string {
    std::string path = std::string("\\StringFileInfo\\040904B0\\") + key;
    char* text = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(data.data(), path.c_str(), reinterpret_cast<void**>(&text), &length))
      return "(missing)";
    return text;
  };
  EXPECT_EQ(value("FileDescription"), GetParam().strings[1]);
  // The release version, the same one qrv --version and the packages carry.
  EXPECT_EQ(value("FileVersion"), QRV_VERSION);
  EXPECT_EQ(value("ProductVersion"), QRV_VERSION);
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT fixed_size = 0;
  ASSERT_TRUE(VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed), &fixed_size));
  char numbers[64];
  std::snprintf(numbers, sizeof numbers, "%lu.%lu.%lu",
                static_cast<unsigned long>(HIWORD(fixed->dwFileVersionMS)),
                static_cast<unsigned long>(LOWORD(fixed->dwFileVersionMS)),
                static_cast<unsigned long>(HIWORD(fixed->dwFileVersionLS)));
  EXPECT_EQ(std::string(numbers), QRV_VERSION);
}
#endif

INSTANTIATE_TEST_SUITE_P(Plugins, PluginInfo, testing::ValuesIn(kPlugins),
                         [](const auto& info) { return std::string(info.param.base); });

}  // namespace
}  // namespace qrv
