// Reads the arguments of one `qrv` command by the command's option table.
#ifndef QRV_HOST_COMMAND_LINE_H
#define QRV_HOST_COMMAND_LINE_H

#include <string>
#include <vector>

#include "commands.h"

namespace qrv::host {

// Options may come anywhere after the command, and "--" ends them. False with
// `error` set ("unknown option --x for `qrv list`", "option -C needs a value",
// "option --json takes no value").
bool ParseArguments(const std::string& command, const std::vector<OptionRule>& options,
                    int argc, char** argv, Arguments* args, std::string* error);

}  // namespace qrv::host

#endif  // QRV_HOST_COMMAND_LINE_H
