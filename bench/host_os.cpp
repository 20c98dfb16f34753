// Linux: handles are calloc addresses, memory figures come from /proc and the
// child starts through posix_spawn (a vfork: the child never holds a copy of
// the parent's pages, whose size would otherwise show in its peak). Windows:
// LocalLock / LocalFree, no memory figures.
#include "host_os.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#if defined(_WIN32)
#include <windows.h>
#else
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace qrv::bench {

#if defined(_WIN32)

uint8_t* LockHostBlock(QrvBlock block) {
  return static_cast<uint8_t*>(LocalLock(static_cast<HLOCAL>(block)));
}
void UnlockHostBlock(QrvBlock block) { LocalUnlock(static_cast<HLOCAL>(block)); }
void FreeHostBlock(QrvBlock block) { LocalFree(static_cast<HLOCAL>(block)); }

std::string SelfPath() {
  char path[MAX_PATH];
  DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  return std::string(path, length < MAX_PATH ? length : 0);
}

int64_t CurrentResidentKib() { return -1; }
int64_t PeakResidentKib() { return -1; }
bool ResetPeakResident() { return false; }

bool AllocateLargeBlocksFresh() { return false; }

bool RunChild(const std::string&, const std::vector<std::string>&, std::string*) {
  return false;
}

#else

uint8_t* LockHostBlock(QrvBlock block) { return static_cast<uint8_t*>(block); }
void UnlockHostBlock(QrvBlock) {}
void FreeHostBlock(QrvBlock block) { free(block); }

std::string SelfPath() {
  char path[4096];
  ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  return std::string(path, length > 0 ? static_cast<size_t>(length) : 0);
}

namespace {

int64_t ReadStatusKib(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const size_t fieldLength = strlen(field);
  while (std::getline(status, line)) {
    if (line.compare(0, fieldLength, field) == 0 && line.size() > fieldLength &&
        line[fieldLength] == ':')
      return std::atoll(line.c_str() + fieldLength + 1);
  }
  return -1;
}

}  // namespace

int64_t CurrentResidentKib() { return ReadStatusKib("VmRSS"); }
int64_t PeakResidentKib() { return ReadStatusKib("VmHWM"); }

bool ResetPeakResident() {
  // "5" resets the peak resident size to the current one (Linux 4.0 on).
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
  clear.flush();
  return static_cast<bool>(clear);
}

bool AllocateLargeBlocksFresh() {
#if defined(__GLIBC__)
  // A fixed threshold also ends glibc's raising of it after each free of a
  // mapped block, which is what makes later blocks recycled heap memory.
  return mallopt(M_MMAP_THRESHOLD, 64 * 1024) == 1;
#else
  return false;
#endif
}

bool RunChild(const std::string& program, const std::vector<std::string>& arguments,
              std::string* output) {
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
  posix_spawn_file_actions_addclose(&actions, pipeEnds[1]);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeEnds[1]);
  output->clear();
  if (rc == 0) {
    char buffer[4096];
    ssize_t got;
    while ((got = read(pipeEnds[0], buffer, sizeof buffer)) > 0)
      output->append(buffer, static_cast<size_t>(got));
  }
  close(pipeEnds[0]);
  if (rc != 0) return false;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

#endif

}  // namespace qrv::bench
