// Runs a program of the build as a child process with its standard output and
// standard error captured (fork/exec, or CreateProcessA on Windows and under
// Wine), so that tests drive `qrv` exactly as a user does.
#ifndef QRV_TESTS_HOST_RUN_PROGRAM_H
#define QRV_TESTS_HOST_RUN_PROGRAM_H

#include <string>
#include <vector>

namespace qrv::test {

struct RunResult {
  int status = -1;  // the exit status; 128 + N when killed by signal N
  std::string out;
  std::string err;
};

// Runs `program` with `args` in `workDir` (empty: the current directory), its
// standard input empty.
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& workDir = {});

#if !defined(_WIN32)
// What a test may change about the child's surroundings.
struct RunOptions {
  bool pipeInput = false;      // standard input is a pipe carrying `input`
  std::string input;
  std::string outputPath;      // standard output goes here (e.g. /dev/full)
  unsigned long fileSizeLimit = 0;  // RLIMIT_FSIZE in bytes; 0 leaves it
};
RunResult RunProgramWith(const std::string& program, const std::vector<std::string>& args,
                         const RunOptions& options);

// A child started without waiting, for tests that signal it.
struct Child {
  int pid = -1;
  std::string outPath;
  std::string errPath;
};
Child StartProgram(const std::string& program, const std::vector<std::string>& args);
RunResult WaitProgram(const Child& child);
#endif

}  // namespace qrv::test

#endif  // QRV_TESTS_HOST_RUN_PROGRAM_H
