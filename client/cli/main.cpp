/*
 * main.cpp - entry point of the recnet command: parses the command line, runs
 * the chosen command, and turns failures into one line on stderr and an exit
 * status.
 */
#include <exception>
#include <iostream>

#include "app.h"
// The library's commands.h (CommandRefused); a plain "commands.h" is this folder's.
#include "../lib/commands.h"
#include "errors.h"
#include "netserver/wire.h"
#include "output.h"

int main(int argc, char** argv) {
    using namespace recnet::cli;
    Context ctx;
    std::unique_ptr<CLI::App> app = makeApp(ctx);
    try {
        app->parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        // The help of the command that --help came after.
        std::cout << app->help();
        return EXIT_OK;
    } catch (const CLI::ParseError& e) {
        return usageFailure(explainParseError(*app, e));
    } catch (const UsageError& e) {
        return usageFailure(e.what());
    }
    if (!ctx.run) return usageFailure("no command given");
    try {
        const int status = ctx.run();
        std::cout.flush();
        return std::cout ? status : EXIT_FAILED;
    } catch (const UsageError& e) {
        return usageFailure(e.what());
    } catch (const recnet::CommandRefused& e) {
        const bool busy = e.status() == wire::STATUS_DISK_BUSY ||
                          e.status() == wire::STATUS_FDISK_BUSY;
        return fail(e.what(), busy ? EXIT_BUSY : EXIT_FAILED);
    } catch (const recnet::Error& e) {
        const bool late = e.kind() == recnet::Error::Kind::Timeout;
        return fail(e.what(), late ? EXIT_NO_ANSWER : EXIT_FAILED);
    } catch (const std::exception& e) {
        return fail(e.what(), EXIT_FAILED);
    }
}
