/*
 * device_commands.h - the recnet commands that drive the device: users, log,
 * parameters, clock, information, maintenance, disks, PTZ, recording, serial
 * and record files.
 *
 * The command line after the command word is handed over as it stands and
 * parsed here, before any connection is made.
 */
#ifndef RECNET_CLI_DEVICE_COMMANDS_H
#define RECNET_CLI_DEVICE_COMMANDS_H

#include <string>
#include <vector>

#include "options.h"

namespace recnet::cli {

// Exit status when the device answered "busy" (a disk operation is running).
constexpr int EXIT_BUSY = 4;

// Whether `command` is one of the device commands.
bool isDeviceCommand(const std::string& command);

// Whether the words after a device command ask for help (-h, --help).
bool deviceCommandWantsHelp(const std::vector<std::string>& args);

// Runs the device command `inv.command` with `inv.commandArgs`. A bad command
// line is reported like main's (message and synopsis on stderr) with
// EXIT_USAGE; a refusal by the device gives EXIT_FAILED, or EXIT_BUSY for a
// busy answer. Other library errors propagate as recnet::Error.
int runDeviceCommand(const Invocation& inv);

// The usage lines of the device commands, ending in a newline.
const char* deviceCommandsUsage();

}  // namespace recnet::cli

#endif
