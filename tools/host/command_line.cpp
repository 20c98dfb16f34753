// The command line of one `qrv` command, read by CLI11 from the command's
// option table. CLI11 tells options from operands, matches long and short
// names, takes values (`-C DIR`, `-CDIR`, `--directory=DIR`), unbundles
// short flags and keeps the order of repeated options; this file only turns
// its results and errors into the host's arguments and messages.
#include "command_line.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <map>

namespace qrv::host {
namespace {

bool TakesValue(const std::vector<OptionRule>& options, const std::string& spelled) {
  for (const OptionRule& option : options) {
    if (!option.takesValue) continue;
    if (spelled == std::string("--") + option.longName) return true;
    if (option.shortName != 0 && spelled == std::string("-") + option.shortName) return true;
  }
  return false;
}

bool IsFlag(const std::vector<OptionRule>& options, const std::string& spelled) {
  for (const OptionRule& option : options) {
    if (!option.takesValue && spelled == std::string("--") + option.longName) return true;
  }
  return false;
}

// CLI11 reads "--name=" as "--name" waiting for the next argument; here an
// empty value after "=" stays the value, as it was typed. A flag's "--flag="
// goes to *badFlag: CLI11 would take it as the flag.
std::vector<std::string> SplitEmptyValues(const std::vector<OptionRule>& options, int argc,
                                          char** argv, std::string* badFlag) {
  std::vector<std::string> out;
  bool optionsDone = false;
  for (int i = 0; i < argc; ++i) {
    std::string arg = argv[i];
    optionsDone = optionsDone || arg == "--";
    if (!optionsDone && arg.size() > 3 && arg.compare(0, 2, "--") == 0 && arg.back() == '=' &&
        arg.find('=') == arg.size() - 1) {
      std::string name = arg.substr(0, arg.size() - 1);
      if (IsFlag(options, name) && badFlag->empty()) *badFlag = name;
      out.push_back(std::move(name));
      out.emplace_back();
    } else {
      out.push_back(arg);
    }
  }
  return out;
}

// The reason CLI11 gave up on the arguments, in the host's words. Only two
// cases end its parse early: a value option with nothing after it (necessarily
// the last argument) and a flag given a value with "=".
std::string MismatchMessage(const std::vector<OptionRule>& options,
                            const std::vector<std::string>& args, const std::string& fallback) {
  if (!args.empty() && TakesValue(options, args.back())) {
    return "option " + args.back() + " needs a value";
  }
  for (const std::string& arg : args) {
    if (arg == "--") break;
    const size_t equals = arg.find('=');
    if (arg.compare(0, 2, "--") != 0 || equals == std::string::npos) continue;
    const std::string name = arg.substr(2, equals - 2);
    for (const OptionRule& option : options) {
      if (!option.takesValue && name == option.longName) {
        return "option --" + name + " takes no value";
      }
    }
  }
  return fallback;
}

}  // namespace

bool ParseArguments(const std::string& command, const std::vector<OptionRule>& options,
                    int argc, char** argv, Arguments* args, std::string* error) {
  CLI::App app;
  app.set_help_flag();  // the command table's own --help is an option like the others
  // Operands and unknown options are both left over; they are told apart below.
  app.allow_extras();
  std::map<const CLI::Option*, const OptionRule*> ruleOf;
  for (const OptionRule& rule : options) {
    std::string names = std::string("--") + rule.longName;
    if (rule.shortName != 0) names = std::string("-") + rule.shortName + "," + names;
    CLI::Option* option = rule.takesValue ? app.add_option(names)->expected(1)
                                          : app.add_flag(names)->disable_flag_override();
    option->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    ruleOf[option] = &rule;
  }
  std::string badFlag;
  std::vector<std::string> given = SplitEmptyValues(options, argc, argv, &badFlag);
  if (!badFlag.empty()) {
    *error = "option " + badFlag + " takes no value";
    return false;
  }
  // CLI11 takes its arguments last first.
  std::vector<std::string> reversed(given.rbegin(), given.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::ArgumentMismatch& mismatch) {
    *error = MismatchMessage(options, given, mismatch.what());
    return false;
  } catch (const CLI::ParseError& failure) {
    *error = failure.what();
    return false;
  }
  // Each value option appears in the parse order once per value, each flag
  // once per use: counting them pairs every use with its value.
  std::map<const CLI::Option*, size_t> used;
  for (const CLI::Option* option : app.parse_order()) {
    const OptionRule* rule = ruleOf.at(option);
    const size_t index = used[option]++;
    const std::string value = rule->takesValue ? option->results().at(index) : std::string();
    args->ordered.emplace_back(rule->longName, value);
    args->values[rule->longName] = value;  // the last use counts
  }
  // What is left is operands, the first "--" that ended the options, and
  // unknown options (only before that "--").
  bool optionsDone = false;
  for (const std::string& arg : app.remaining()) {
    if (!optionsDone && arg == "--") {
      optionsDone = true;
    } else if (!optionsDone && arg.size() >= 2 && arg[0] == '-') {
      *error = "unknown option " + arg + " for `qrv " + command + "`";
      return false;
    } else {
      args->positional.push_back(arg);
    }
  }
  return true;
}

}  // namespace qrv::host
