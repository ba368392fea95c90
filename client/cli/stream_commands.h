/*
 * stream_commands.h - the recnet commands for live video: `stream` records a
 * channel to an H.264 file, `probe` asks which address and port the device
 * sees this host's datagrams from.
 *
 * The command line after the command word is handed over as it stands and
 * parsed here, before any connection is made.
 */
#ifndef RECNET_CLI_STREAM_COMMANDS_H
#define RECNET_CLI_STREAM_COMMANDS_H

#include <string>
#include <vector>

#include "options.h"

namespace recnet::cli {

// Whether `command` is `stream` or `probe`.
bool isStreamCommand(const std::string& command);

// Whether the words after the command ask for help (-h, --help).
bool streamCommandWantsHelp(const std::vector<std::string>& args);

// Runs `inv.command` with `inv.commandArgs`. A bad command line is reported
// like main's (message and synopsis on stderr) with EXIT_USAGE. Library
// errors propagate as recnet::Error.
int runStreamCommand(const Invocation& inv);

// The usage lines of these commands, ending in a newline.
const char* streamCommandsUsage();

}  // namespace recnet::cli

#endif
