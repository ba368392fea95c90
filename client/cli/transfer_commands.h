/*
 * transfer_commands.h - the recnet commands for the device's transfers:
 * `upgrade` (firmware upload and flash write), `make-image` (builds a
 * firmware image, offline), `snapshot` (one JPEG picture, or a stream of
 * them) and `serial attach` (the transparent serial channel on stdin and
 * stdout).
 *
 * They run as device commands: the device command dispatcher hands them the
 * words after the command, and reports a UsageError or a CommandRefused that
 * escapes them the way it reports its own.
 */
#ifndef RECNET_CLI_TRANSFER_COMMANDS_H
#define RECNET_CLI_TRANSFER_COMMANDS_H

#include <string>
#include <vector>

#include "options.h"

namespace recnet::cli {

// Whether `command` is upgrade, make-image or snapshot.
bool isTransferCommand(const std::string& command);

// Runs `inv.command` (one of isTransferCommand's) with `inv.commandArgs`.
// Returns the exit status; throws UsageError for a bad command line and
// recnet::Error for failures it does not report itself.
int runTransferCommand(const Invocation& inv);

// `serial attach` with the words after "attach": stdin goes to the device's
// serial port, the port's bytes come out on stdout, until stdin ends or
// SIGINT/SIGTERM. Same error contract as runTransferCommand.
int runSerialAttach(const GlobalOptions& g, const std::vector<std::string>& args);

// The usage lines of these commands, ending in a newline.
const char* transferCommandsUsage();

}  // namespace recnet::cli

#endif
