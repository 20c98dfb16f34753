// qrv: a command-line host for the Quorvanel plug-ins. It loads ifqrvnel and
// axqrvnel at run time from its own directory (or --plugins DIR), picks the
// plug-in for a file by its first 2048 bytes, and calls the exports by name as
// a picture viewer would. Only `qrv mount` links format code: the archive
// extractor's header reading, for the folder it serves (hosts/fuse).
#include <algorithm>
#include <cerrno>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "command_line.h"
#include "commands.h"
#include "file_system.h"
#include "interrupt.h"
#include "messages.h"
#include "os_path.h"
#include "progress.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

namespace qrv::host {
namespace {

std::mutex gOutputMutex;
// The first error writing standard output, 0 while there was none.
int gStandardOutputError = 0;

void FlushStandardOutput() {
  errno = 0;
  if (std::fflush(stdout) != 0 && gStandardOutputError == 0) {
    gStandardOutputError = errno != 0 ? errno : EIO;
  }
}

struct Command {
  const char* name;
  const char* synopsis;
  const char* description;
  std::vector<OptionRule> options;
  int (*run)(Context&);
};

const OptionRule kPluginsOption = {"plugins", 0, true,
                                   "load the plug-ins from DIR instead of qrv's own directory"};
const OptionRule kQuietOption = {"quiet", 'q', false,
                                 "no progress bar and no report of each file written"};
const OptionRule kMaxPixelsOption = {
    "max-pixels", 0, true, "refuse pictures of more than N pixels (default 178956970; 0: no limit)",
    "N"};
const OptionRule kHelpOption = {"help", 'h', false, "show this help"};

// The release and the two plug-ins as loaded, so that a report of a problem
// says exactly what ran.
int RunVersion(Context& context) {
  std::printf("qrv %s\n", QRV_VERSION);
  int status = kExitOk;
  ImagePlugin image;
  ArchivePlugin archive;
  std::string error;
  if (LoadImagePlugin(context.pluginDirectory, &image, &error)) {
    std::printf("ifqrvnel: %s (%s)\n", image.about.c_str(), EscapeControl(image.path).c_str());
  } else {
    ReportError(error);
    status = kExitFailed;
  }
  if (LoadArchivePlugin(context.pluginDirectory, &archive, &error)) {
    std::printf("axqrvnel: %s (%s)\n", archive.about.c_str(),
                EscapeControl(archive.path).c_str());
  } else {
    ReportError(error);
    status = kExitFailed;
  }
  return status;
}

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands = {
      {"info", "qrv info FILE...",
       "Says which plug-in takes each file and what it reports: a picture's width,\n"
       "height and depth, or an archive's entry count and total data size.",
       {kPluginsOption, kHelpOption},
       RunInfo},
      {"convert", "qrv convert IN [OUT]\n       qrv convert IN... -o DIR [--format png|bmp] [-j N]",
       "Decodes Quorvanel CG pictures through the image plug-in and writes them as\n"
       "PNG or BMP, chosen by OUT's extension (.png or .bmp). Without OUT the picture\n"
       "goes to IN with its extension replaced by .png. With -o DIR every input is\n"
       "written into DIR (created when missing) under its own name, converted in\n"
       "parallel. A BMP holds the plug-in's own bitmap header and pixels; an 8-bit\n"
       "picture keeps its colour table. A failed conversion leaves no output file,\n"
       "and no output may replace an input. IN may be - for standard input (or a\n"
       "pipe), which is read into memory first. Pictures of more pixels than the\n"
       "limit are refused from their header, before any memory is spent on them.",
       {{"output-dir", 'o', true, "write every output into DIR"},
        {"format", 'f', true, "with -o: png (the default) or bmp", "FMT"},
        {"jobs", 'j', true, "convert N pictures at a time (default: one per core)", "N"},
        kMaxPixelsOption, kPluginsOption, kQuietOption, kHelpOption},
       RunConvert},
      {"list", "qrv list ARCHIVE [--json]",
       "Lists a Quorvanel Archive through the archive plug-in: one line per entry\n"
       "with its position in the archive, its size in bytes and its name. ARCHIVE\n"
       "may be - for standard input (or a pipe). In JSON every byte of a path that\n"
       "is not valid UTF-8 becomes the replacement character U+FFFD.",
       {{"json", 0, false, "print the listing as JSON"}, kPluginsOption, kHelpOption},
       RunList},
      {"extract",
       "qrv extract ARCHIVE [NAME...] [-C DIR] [-i]\n       qrv extract ARCHIVE NAME --stdout\n"
       "       qrv extract ARCHIVE -C DIR --manifest",
       "Extracts every entry of a Quorvanel Archive, or the named ones, through the\n"
       "archive plug-in's own file output into DIR (default: the current directory;\n"
       "created when missing). Existing files of the same name are replaced, but\n"
       "never the archive itself. An entry that fails leaves no file behind, and\n"
       "scratch folders left by a run that was killed are removed. Of several\n"
       "entries with one name only the first is written, as a lookup by name\n"
       "finds it; the others are named in a warning. ARCHIVE may be - for\n"
       "standard input (or a pipe).\n\n"
       "With --manifest every entry is written, and DIR/quorvanel-manifest.json\n"
       "lists them in order with their names, files, sizes, second header words\n"
       "and CRC-32 checksums, for `qrv pack --manifest`. A later entry of a name\n"
       "already written goes to NAME.2, NAME.3, ...; a name too long for a file\n"
       "there (over 200 characters, or what the path leaves) to its first\n"
       "characters, a dot and a checksum of the whole name.",
       {{"directory", 'C', true, "extract into DIR"},
        {"ignore-case", 'i', false, "match NAMEs without regard to case"},
        {"stdout", 0, false, "write the one named entry to standard output"},
        {"manifest", 0, false, "write every entry and quorvanel-manifest.json (see below)"},
        kPluginsOption, kQuietOption, kHelpOption},
       RunExtract},
      {"encode", "qrv encode IN.png|IN.bmp OUT\n       qrv encode --like ORIGINAL.qcg IN.png|IN.bmp OUT",
       "Writes a Quorvanel CG picture from a PNG or BMP file, so that the image\n"
       "plug-in can read it. Greyscale input (a greyscale PNG without transparency,\n"
       "or an 8-bit BMP whose colour table is the grey ramp) becomes an 8-bit\n"
       "picture; anything else becomes a 24-bit picture. Transparency is laid over\n"
       "white in the file's own sample values (no gamma conversion), and 16-bit\n"
       "samples are then rounded to the nearest 8-bit value, as image converters\n"
       "do. IN may be - for standard input.\n\n"
       "With --like the picture keeps the size and depth of ORIGINAL, a Quorvanel\n"
       "CG picture it replaces, as the program that reads it expects. A picture of\n"
       "another size is refused. For an 8-bit original every pixel must be grey\n"
       "(an RGB file whose pixels are all grey is stored at 8 bits); a coloured\n"
       "pixel is refused. For a 24-bit original a grey file is stored at 24 bits,\n"
       "with a warning.",
       {{"like", 0, true, "keep the size and depth of the picture ORIGINAL", "ORIGINAL"},
        kMaxPixelsOption, kPluginsOption, kQuietOption, kHelpOption},
       RunEncode},
      {"pack", "qrv pack OUT.dat FILE...\n       qrv pack --manifest DIR/quorvanel-manifest.json OUT.dat",
       "Writes a Quorvanel Archive holding the given files, in the order given.\n"
       "Entry names may hold only 0-9, a-z and _: each file's name is lower-cased\n"
       "and every other character becomes _ (\"Notes.txt\" is stored as notes_txt).\n"
       "Empty files cannot be stored.\n\n"
       "With --manifest the archive is built as the manifest that `qrv extract\n"
       "--manifest` wrote says, after any editing: its entries in its order, under\n"
       "their names and with their second header words, each from the file the\n"
       "manifest names (relative to the manifest's folder) as that file is now.\n"
       "Unedited, the archive comes out byte for byte as it was. Entries whose\n"
       "size or checksum differ from the manifest's are reported as changed.",
       {{"manifest", 0, true, "build the archive that FILE describes", "FILE"},
        kQuietOption, kHelpOption},
       RunPack},
      {"mount", "qrv mount ARCHIVE DIR [-f]",
       "Shows a Quorvanel Archive as a read-only folder at DIR (Linux, FUSE): one\n"
       "file per entry, named as `qrv extract` names them, of several entries with\n"
       "one name only the first. Sizes come from the listing, times and owner from\n"
       "the archive file. Reads go to the entry's bytes in the archive; writing,\n"
       "creating, renaming or deleting fails with \"Read-only file system\". An\n"
       "archive that is damaged is refused before anything is mounted, as `qrv\n"
       "list` refuses it. The mount goes on in the background until `fusermount3\n"
       "-u DIR`; with -f qrv stays in the foreground until that, Ctrl-C, SIGTERM\n"
       "or SIGHUP unmounts it, and then exits with 0. If the archive file changes\n"
       "while mounted, reads fail with \"Input/output error\" rather than give\n"
       "wrong bytes. Only the user who mounted it can read the folder.",
       {{"foreground", 'f', false, "stay in the foreground until unmounted"}, kPluginsOption,
        kHelpOption},
       RunMount},
      {"update",
       "qrv update ARCHIVE [--replace NAME=FILE]... [--add NAME=FILE [--before NAME]]...\n"
       "                   [--remove NAME]... [-o OUT]",
       "Writes a Quorvanel Archive again with some entries changed, copying every\n"
       "other entry byte for byte, its header included, in its place. A replaced\n"
       "entry keeps its place, its name and its second header word; an added entry\n"
       "goes at the end, or before the entry that the --before after its --add\n"
       "names; a removed entry is gone. With no change the copy is identical.\n"
       "NAME is matched exactly, as a lookup by name: of several entries with one\n"
       "name it is the first, and NAME.2, NAME.3, ... are the later ones. An added\n"
       "NAME must be new and hold only 0-9, a-z and _. Every request and file is\n"
       "checked before anything is written. Without -o the archive is replaced\n"
       "only once the new one is complete and on the disk, keeping its\n"
       "permissions; a failure or a signal leaves it as it was.",
       {{"replace", 0, true, "give the entry NAME the bytes of FILE", "NAME=FILE"},
        {"add", 0, true, "add FILE as a new entry NAME", "NAME=FILE"},
        {"before", 0, true, "put the entry added just before this option before NAME",
         "NAME"},
        {"remove", 0, true, "leave the entry NAME out", "NAME"},
        {"output", 'o', true, "write the new archive to OUT instead of replacing ARCHIVE",
         "OUT"},
        kPluginsOption, kQuietOption, kHelpOption},
       RunUpdate},
      {"version", "qrv version\n       qrv --version",
       "Prints qrv's release version and the about text and file of each plug-in\n"
       "as loaded. Fails when a plug-in cannot be loaded.",
       {kPluginsOption, kHelpOption},
       RunVersion},
  };
  return commands;
}

const Command* FindCommand(const std::string& name) {
  for (const Command& command : Commands()) {
    if (name == command.name) return &command;
  }
  return nullptr;
}

constexpr const char* kExitStatuses =
    "exit status:\n"
    "  0    everything was done\n"
    "  1    some file could not be read, decoded or written (each is named)\n"
    "  2    the command line is wrong, or an output would replace an input;\n"
    "       nothing was written\n"
    "  129, 130, 143  stopped by SIGHUP, SIGINT (Ctrl-C) or SIGTERM; files\n"
    "       not finished were removed\n";

void PrintGeneralHelp(std::FILE* out) {
  std::fprintf(out,
               "qrv: convert Quorvanel CG pictures and unpack Quorvanel Archives through\n"
               "the ifqrvnel and axqrvnel plug-ins.\n\n"
               "usage: qrv COMMAND [ARGS...]\n\ncommands:\n");
  const char* summaries[] = {"what each file is (picture size, archive contents)",
                             "a picture to PNG or BMP",
                             "the entries of an archive",
                             "entries of an archive into files",
                             "a PNG or BMP file to a Quorvanel CG picture",
                             "files into a Quorvanel Archive",
                             "an archive as a read-only folder (Linux)",
                             "an archive with entries replaced, added or removed",
                             "the release and the plug-ins as loaded"};
  size_t i = 0;
  for (const Command& command : Commands()) {
    std::fprintf(out, "  %-9s %s\n", command.name, summaries[i++]);
  }
  std::fprintf(out,
               "  help      this text, or `qrv help COMMAND` for one command\n\n"
               "The plug-ins are loaded from qrv's own directory unless --plugins DIR\n"
               "says otherwise. `qrv COMMAND --help` describes each command.\n\n%s",
               kExitStatuses);
}

void PrintCommandHelp(const Command& command) {
  std::printf("usage: %s\n\n%s\n\noptions:\n", command.synopsis, command.description);
  for (const OptionRule& option : command.options) {
    std::string flags = option.shortName != 0 ? std::string("-") + option.shortName + ", " : "    ";
    flags += std::string("--") + option.longName;
    if (option.takesValue) {
      flags += std::string(" ") + (option.valueName != nullptr ? option.valueName : "DIR");
    }
    std::printf("  %-24s %s\n", flags.c_str(), option.help);
  }
  std::printf("\n%s", kExitStatuses);
}

// An empty file or directory name names nothing; said at once rather than
// after it was turned into some other name.
bool CheckNamesAreNotEmpty(const Command& command, const Arguments& args, std::string* error) {
  const bool namesFollowArchive = std::strcmp(command.name, "extract") == 0;
  for (size_t i = 0; i < args.positional.size(); ++i) {
    if (args.positional[i].empty() && !(namesFollowArchive && i > 0)) {
      *error = "\"\" names no file: " + SystemReason(ENOENT);
      return false;
    }
  }
  struct Named {
    const char* option;
    const char* what;
  };
  for (const Named named : {Named{"output-dir", "directory"}, Named{"directory", "directory"},
                            Named{"plugins", "directory"}, Named{"output", "file"},
                            Named{"manifest", "file"}, Named{"like", "file"}}) {
    const bool takesValue = std::any_of(command.options.begin(), command.options.end(),
                                        [&](const OptionRule& option) {
                                          return option.takesValue &&
                                                 std::strcmp(option.longName, named.option) == 0;
                                        });
    if (takesValue && args.Has(named.option) && args.Value(named.option).empty()) {
      *error = std::string("--") + named.option + " \"\" names no " + named.what + ": " +
               SystemReason(ENOENT);
      return false;
    }
  }
  return true;
}

std::string WithSeparator(std::string directory) {
  if (directory.empty()) return directory;
  char last = directory.back();
#if defined(_WIN32)
  if (last != '/' && last != '\\') directory += '\\';
#else
  if (last != '/') directory += '/';
#endif
  return directory;
}

int Main(int argc, char** argv) {
  InstallInterruptHandler();
#if defined(_WIN32)
  // Plain line feeds: listings and extracted bytes come out as on every build.
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  if (argc < 2) {
    PrintGeneralHelp(stderr);
    return kExitUsage;
  }
  std::string name = argv[1];
  if (name == "--version") name = "version";
  if (name == "help" || name == "--help" || name == "-h") {
    const std::string about = argc > 2 ? argv[2] : "";
    if (argc > 2 && about != "help" && about != "--help" && about != "-h") {
      const Command* command = FindCommand(argv[2]);
      if (command == nullptr) {
        ReportError("no command named " + std::string(argv[2]) + " (see `qrv help`)");
        return kExitUsage;
      }
      PrintCommandHelp(*command);
    } else {
      PrintGeneralHelp(stdout);
    }
    return kExitOk;
  }
  const Command* command = FindCommand(name);
  if (command == nullptr) {
    ReportError("no command named " + name + " (see `qrv help`)");
    return kExitUsage;
  }
  Context context;
  std::string error;
  if (!ParseArguments(command->name, command->options, argc - 2, argv + 2, &context.args, &error)) {
    ReportError(error + " (see `qrv " + name + " --help`)");
    return kExitUsage;
  }
  if (context.args.Has("help")) {
    PrintCommandHelp(*command);
    return kExitOk;
  }
  if (!CheckNamesAreNotEmpty(*command, context.args, &error)) {
    ReportError(error);
    return kExitUsage;
  }
  context.pluginDirectory = context.args.Has("plugins")
                                ? WithSeparator(context.args.Value("plugins"))
                                : ProgramDirectory();
  context.quiet = context.args.Has("quiet");
  context.showProgress = !context.quiet && StandardErrorIsTerminal();
  int status = command->run(context);
  if (Interrupted() && status != kExitUsage) {
    ReportError(InterruptReason());
    status = InterruptExitStatus();
  }
  return status;
}

// Output that never reached standard output (a full disk, a closed pipe) is a
// failure like any other.
int CheckStandardOutput(int status) {
  FlushStandardOutput();
  if (std::ferror(stdout) == 0) return status;
  const int error = gStandardOutputError != 0 ? gStandardOutputError : EIO;
  ReportError("cannot write to standard output: " + SystemReason(error));
  return status == kExitOk ? kExitFailed : status;
}

}  // namespace

void ReportError(const std::string& message) {
  std::lock_guard<std::mutex> lock(gOutputMutex);
  FlushStandardOutput();
  // Over a progress bar the message starts on a blank line.
  if (StandardErrorIsTerminal()) std::fprintf(stderr, "\r%79s\r", "");
  std::fprintf(stderr, "qrv: %s\n", EscapeControl(message).c_str());
  std::fflush(stderr);
}

void ReportWarning(const std::string& message) { ReportError("warning: " + message); }

void ReportDone(const Context& context, const std::string& line) {
  if (context.quiet) return;
  std::lock_guard<std::mutex> lock(gOutputMutex);
  if (context.showProgress) {
    std::fprintf(stderr, "\r%79s\r", "");
    std::fflush(stderr);
  }
  std::printf("%s\n", EscapeControl(line).c_str());
  FlushStandardOutput();
}

std::string FormatOf(const std::string& path) {
  std::string extension = NameOf(PathOf(path).extension());
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (extension == ".png") return "png";
  if (extension == ".bmp") return "bmp";
  return "";
}

}  // namespace qrv::host

int main(int argc, char** argv) {
  return qrv::host::CheckStandardOutput(qrv::host::Main(argc, argv));
}
