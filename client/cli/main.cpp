/*
 * main.cpp - entry point of the recnet command: parses the command line, runs
 * the command, and turns failures into one line on stderr and an exit status.
 */
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "cli_support.h"
#include "commands.h"
#include "errors.h"
#include "options.h"

int main(int argc, char** argv) {
    using namespace recnet::cli;
    std::vector<std::string> args(argv + 1, argv + argc);
    Invocation inv;
    try {
        inv = parseCommandLine(args);
    } catch (const UsageError& e) {
        return usageFailure(e.what());
    }
    if (inv.help) {
        std::cout << usageText();
        return EXIT_OK;
    }
    try {
        int status = runCommand(inv);
        std::cout.flush();
        return std::cout ? status : EXIT_FAILED;
    } catch (const recnet::Error& e) {
        const bool late = e.kind() == recnet::Error::Kind::Timeout;
        return fail(e.what(), late ? EXIT_NO_ANSWER : EXIT_FAILED);
    } catch (const std::exception& e) {
        return fail(e.what(), EXIT_FAILED);
    }
}
