#include "run_program.h"

#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "test_files.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace qrv::test {
namespace {

std::atomic<int> gRunCounter{0};

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::remove(path.c_str());
  return text;
}

void CapturePaths(std::string* outPath, std::string* errPath) {
  int n = gRunCounter++;
  *outPath = ScratchPath("run-" + std::to_string(n) + ".out");
  *errPath = ScratchPath("run-" + std::to_string(n) + ".err");
}

}  // namespace

#if defined(_WIN32)

namespace {

// Quoting by the rules the C runtime uses to split a command line.
std::string Quote(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
  std::string out = "\"";
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') out.append(backslashes * 2 + 1, '\\');
    else out.append(backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, '\\');
  return out + "\"";
}

HANDLE OpenInheritable(const std::string& path, bool write) {
  SECURITY_ATTRIBUTES security = {sizeof security, nullptr, TRUE};
  return CreateFileA(path.c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                     FILE_SHARE_READ | FILE_SHARE_WRITE, &security,
                     write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& workDir) {
  RunResult result;
  std::string outPath, errPath;
  CapturePaths(&outPath, &errPath);
  std::string commandLine = Quote(program);
  for (const std::string& arg : args) {
    commandLine += ' ';
    commandLine += Quote(arg);
  }
  HANDLE in = OpenInheritable("NUL", false);
  HANDLE out = OpenInheritable(outPath, true);
  HANDLE err = OpenInheritable(errPath, true);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION process = {};
  // Wine once failed to start a program that had started many times before,
  // in a CI run with another suite beside it: a failed start is tried twice
  // more, and the last error goes into the message.
  BOOL started = FALSE;
  DWORD error = 0;
  for (int attempt = 0; attempt < 3 && !started; ++attempt) {
    if (attempt > 0) Sleep(200);
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back(0);
    started = CreateProcessA(program.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                             workDir.empty() ? nullptr : workDir.c_str(), &startup, &process);
    if (!started) error = GetLastError();
  }
  if (started) {
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    result.status = static_cast<int>(code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  CloseHandle(in);
  CloseHandle(out);
  CloseHandle(err);
  result.out = Slurp(outPath);
  result.err = Slurp(errPath);
  if (!started) result.err = "cannot start " + program + " (error " + std::to_string(error) + ")";
  return result;
}

#else

namespace {

int Spawn(const std::string& program, const std::vector<std::string>& args,
          const std::string& workDir, const std::string& outPath, const std::string& errPath,
          const RunOptions& options = {}) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  int pipeEnds[2] = {-1, -1};
  if (options.pipeInput && pipe(pipeEnds) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    int in = options.pipeInput ? pipeEnds[0] : open("/dev/null", O_RDONLY);
    const std::string& outName = options.outputPath.empty() ? outPath : options.outputPath;
    int out = open(outName.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    if (options.pipeInput) close(pipeEnds[1]);
    if (!workDir.empty() && chdir(workDir.c_str()) != 0) _exit(126);
    if (options.fileSizeLimit != 0) {
      struct rlimit limit = {options.fileSizeLimit, options.fileSizeLimit};
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
    }
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  if (options.pipeInput) {
    close(pipeEnds[0]);
    // The child may stop reading early: a broken pipe is then no failure here.
    void (*previous)(int) = signal(SIGPIPE, SIG_IGN);
    for (size_t done = 0; done < options.input.size();) {
      ssize_t wrote = write(pipeEnds[1], options.input.data() + done, options.input.size() - done);
      if (wrote <= 0) break;
      done += static_cast<size_t>(wrote);
    }
    close(pipeEnds[1]);
    signal(SIGPIPE, previous);
  }
  return pid;
}

RunResult Collect(int pid, const std::string& outPath, const std::string& errPath) {
  RunResult result;
  int status = 0;
  if (pid > 0 && waitpid(pid, &status, 0) == pid) {
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  result.out = Slurp(outPath);
  result.err = Slurp(errPath);
  return result;
}

}  // namespace

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& workDir) {
  std::string outPath, errPath;
  CapturePaths(&outPath, &errPath);
  int pid = Spawn(program, args, workDir, outPath, errPath);
  return Collect(pid, outPath, errPath);
}

RunResult RunProgramWith(const std::string& program, const std::vector<std::string>& args,
                         const RunOptions& options) {
  std::string outPath, errPath;
  CapturePaths(&outPath, &errPath);
  int pid = Spawn(program, args, {}, outPath, errPath, options);
  return Collect(pid, outPath, errPath);
}

Child StartProgram(const std::string& program, const std::vector<std::string>& args) {
  Child child;
  CapturePaths(&child.outPath, &child.errPath);
  child.pid = Spawn(program, args, {}, child.outPath, child.errPath);
  return child;
}

RunResult WaitProgram(const Child& child) { return Collect(child.pid, child.outPath, child.errPath); }

#endif

}  // namespace qrv::test
