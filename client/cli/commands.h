/*
 * commands.h - the families of recnet commands. Each family file registers
 * its commands (and their options) on the parser; makeApp (app.cpp) calls
 * them in the order the help lists them. A new command is one command() call
 * in the family file it belongs to.
 */
#ifndef RECNET_CLI_COMMANDS_H
#define RECNET_CLI_COMMANDS_H

#include "app.h"

namespace recnet::cli {

// login, echo, time-info, raw (session_commands.cpp).
void addSessionCommands(CLI::App& app, Context& ctx);
// user, log (account_commands.cpp).
void addAccountCommands(CLI::App& app, Context& ctx);
// param get | set | reset-video (param_commands.cpp).
void addParamCommands(CLI::App& app, Context& ctx);
// time, info, version, camera, session-flag (info_commands.cpp).
void addInfoCommands(CLI::App& app, Context& ctx);
// ptz, iframe, record, serial send, file, worker (control_commands.cpp).
void addControlCommands(CLI::App& app, Context& ctx);
// reboot, the resets, disk (maintenance_commands.cpp).
void addMaintenanceCommands(CLI::App& app, Context& ctx);
// make-image, upgrade, snapshot, serial attach (transfer_commands.cpp).
void addTransferCommands(CLI::App& app, Context& ctx);
// stream, probe (stream_commands.cpp).
void addStreamCommands(CLI::App& app, Context& ctx);
// top, alias stats: the device's /metrics page (top_command.cpp).
void addTopCommand(CLI::App& app, Context& ctx);

}  // namespace recnet::cli

#endif
