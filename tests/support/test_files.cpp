#include "test_files.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace qrv::test {
namespace fs = std::filesystem;

namespace {

struct Scratch {
  std::string path;
  Scratch() {
    std::random_device entropy;
    fs::path base = fs::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
      fs::path candidate = base / ("qrv-test-" + std::to_string(entropy()));
      std::error_code ec;
      if (fs::create_directory(candidate, ec)) {
        path = candidate.string();
        return;
      }
    }
    std::fprintf(stderr, "cannot make a scratch directory under %s\n", base.string().c_str());
    std::abort();
  }
  ~Scratch() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};

}  // namespace

const std::string& ScratchDir() {
  static Scratch scratch;
  return scratch.path;
}

std::string ScratchPath(const std::string& name) {
  return (fs::path(ScratchDir()) / name).string();
}

void WriteFileBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    std::abort();
  }
}

Bytes ReadFileBytes(const std::string& path, bool* exists) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (exists != nullptr) *exists = static_cast<bool>(in);
  // In one read where the size is known: byte by byte, tens of megabytes take
  // seconds.
  const std::streamoff size = in ? static_cast<std::streamoff>(in.tellg()) : -1;
  if (size < 0) {
    in.clear();
    in.seekg(0);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  Bytes bytes(static_cast<size_t>(size));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(bytes.data()), size);
  bytes.resize(static_cast<size_t>(in.gcount()));
  return bytes;
}

bool FileExists(const std::string& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

#if defined(_WIN32)

ProbeFile::ProbeFile(const std::string& path)
    : handle_(reinterpret_cast<intptr_t>(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                                     nullptr, OPEN_EXISTING, 0, nullptr))) {}

ProbeFile::~ProbeFile() {
  if (ok()) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

bool ProbeFile::ok() const { return reinterpret_cast<HANDLE>(handle_) != INVALID_HANDLE_VALUE; }

int64_t ProbeFile::Position() const {
  return SetFilePointer(reinterpret_cast<HANDLE>(handle_), 0, nullptr, FILE_CURRENT);
}

void ProbeFile::SetPosition(int64_t position) {
  SetFilePointer(reinterpret_cast<HANDLE>(handle_), static_cast<LONG>(position), nullptr, FILE_BEGIN);
}

#else

ProbeFile::ProbeFile(const std::string& path) : handle_(open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}

ProbeFile::~ProbeFile() {
  if (ok()) close(static_cast<int>(handle_));
}

bool ProbeFile::ok() const { return handle_ >= 0; }

int64_t ProbeFile::Position() const { return lseek(static_cast<int>(handle_), 0, SEEK_CUR); }

void ProbeFile::SetPosition(int64_t position) {
  lseek(static_cast<int>(handle_), static_cast<off_t>(position), SEEK_SET);
}

#endif

ProbeValue ProbeFile::value() const { return static_cast<ProbeValue>(handle_); }

}  // namespace qrv::test
