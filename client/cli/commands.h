/*
 * commands.h - the recnet commands.
 */
#ifndef RECNET_CLI_COMMANDS_H
#define RECNET_CLI_COMMANDS_H

#include "options.h"

namespace recnet::cli {

// Exit statuses of the recnet command.
constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_NO_ANSWER = 3;

// Carries out the parsed command, printing its result on stdout. Returns the
// exit status; failures of the library come out as recnet::Error.
int runCommand(const Invocation& inv);

}  // namespace recnet::cli

#endif
