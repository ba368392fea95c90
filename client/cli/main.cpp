/*
 * main.cpp - entry point of the recnet command: parses the command line, runs
 * the command, and turns failures into one line on stderr and an exit status.
 */
#include <exception>
#include <iostream>
#include <string>
#include <vector>

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
        std::cerr << "recnet: " << e.what() << "\n" << shortUsage();
        return EXIT_USAGE;
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
        std::cerr << "recnet: " << e.what() << "\n";
        return e.kind() == recnet::Error::Kind::Timeout ? EXIT_NO_ANSWER : EXIT_FAILED;
    } catch (const std::exception& e) {
        std::cerr << "recnet: " << e.what() << "\n";
        return EXIT_FAILED;
    }
}
