/*
 * top_command.h - `recnet top` (also `recnet stats`): the device's counters
 * from its /metrics page, one screen a second.
 */
#ifndef RECNET_CLI_TOP_COMMAND_H
#define RECNET_CLI_TOP_COMMAND_H

#include <string>

#include "options.h"

namespace recnet::cli {

// Whether `command` is `top` or `stats`.
bool isTopCommand(const std::string& command);

// Runs it with `inv.commandArgs`; a bad command line is reported like main's
// with EXIT_USAGE.
int runTopCommand(const Invocation& inv);

// The usage lines of the command, ending in a newline.
const char* topCommandUsage();

}  // namespace recnet::cli

#endif
