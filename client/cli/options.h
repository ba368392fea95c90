/*
 * options.h - the recnet command line: global options, the command, and the
 * command's own options.
 */
#ifndef RECNET_CLI_OPTIONS_H
#define RECNET_CLI_OPTIONS_H

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "connection.h"
#include "session.h"

namespace recnet::cli {

// A command line that cannot be obeyed; main prints it with the usage.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct GlobalOptions {
    std::string host = "127.0.0.1";
    uint16_t port = 5500;
    std::string user = "admin";
    std::string password = "admin";
    Duration timeout{5000};
    bool json = false;
};

struct Invocation {
    GlobalOptions global;
    bool help = false;        // --help, or the command "help"
    std::string command;      // login, echo, time-info, raw
    RawRequest raw;           // raw: the message to send
    bool rawLogin = true;     // raw: log in first (cleared by --no-login)
    std::vector<std::string> commandArgs;  // device, stream and probe commands: the words after the command
};

// Parses argv. Throws UsageError for anything it cannot make sense of.
Invocation parseCommandLine(const std::vector<std::string>& args);

// The full usage text, ending in a newline.
const char* usageText();

// The one-line synopsis shown after a command-line error, ending in a newline.
const char* shortUsage();

}  // namespace recnet::cli

#endif
