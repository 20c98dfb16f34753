// The commands of `qrv` and what they share: parsed arguments, the plug-in
// directory, and reporting of failures.
#ifndef QRV_HOST_COMMANDS_H
#define QRV_HOST_COMMANDS_H

#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "plugins.h"

namespace qrv::host {

struct OptionRule {
  const char* longName;  // without the leading "--"
  char shortName;        // 0 when there is none
  bool takesValue;
  const char* help;
  const char* valueName = nullptr;  // shown after the option; DIR when not given
};

struct Arguments {
  std::vector<std::string> positional;
  std::map<std::string, std::string> values;  // by long name; "" for a flag; the last use
  // Every use of every option in command-line order: long name and value.
  std::vector<std::pair<std::string, std::string>> ordered;

  bool Has(const std::string& name) const { return values.count(name) != 0; }
  std::string Value(const std::string& name, const std::string& fallback = {}) const {
    auto it = values.find(name);
    return it == values.end() ? fallback : it->second;
  }
};

// What every command is given.
struct Context {
  Arguments args;
  std::string pluginDirectory;  // ends in a separator
  bool quiet = false;
  bool showProgress = false;  // standard error is a terminal and not quiet
};

// Prints "qrv: MESSAGE" on standard error; safe from several threads.
void ReportError(const std::string& message);
// Prints "qrv: warning: MESSAGE" on standard error; safe from several threads.
void ReportWarning(const std::string& message);
// Prints a line on standard output unless quiet; safe from several threads.
void ReportDone(const Context& context, const std::string& line);

// Loads the archive plug-in, opens the archive and lists it; false after
// reporting why not, in the same words for every command.
bool OpenArchive(const Context& context, const std::string& path, ArchivePlugin* plugin,
                 Input* input, std::vector<FileInfo>* entries);

// Each returns the program's exit status.
int RunInfo(Context& context);
int RunConvert(Context& context);
int RunList(Context& context);
int RunExtract(Context& context);
int RunEncode(Context& context);
int RunPack(Context& context);
int RunMount(Context& context);
int RunUpdate(Context& context);

// Text as an entry name, as `qrv pack` stores file names: lower case, and
// anything outside 0-9, a-z and _ becomes _.
std::string StorableEntryName(const std::string& text);

// The output format named by a path's extension: "png", "bmp" or "".
std::string FormatOf(const std::string& path);

}  // namespace qrv::host

#endif  // QRV_HOST_COMMANDS_H
