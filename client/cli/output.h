/*
 * output.h - the one place where recnet prints: a command's result as text or
 * as one JSON object (--json), progress lines, and failures on stderr.
 */
#ifndef RECNET_CLI_OUTPUT_H
#define RECNET_CLI_OUTPUT_H

#include <nlohmann/json.hpp>
#include <string>

#include "app.h"

namespace recnet::cli {

// Keys stay in the order a command sets them.
using Json = nlohmann::ordered_json;

// A command's result in both forms: `json` is printed with --json, `text`
// (whole lines, each ending in '\n') otherwise.
struct Result {
    Json json = Json::object();
    std::string text;
};

// Prints `r` on stdout in the form the global options ask for. Returns
// EXIT_OK. Bytes that are not UTF-8 (a device's texts) become U+FFFD in JSON.
int emit(const GlobalOptions& g, const Result& r);

// The result of a command that only acknowledges: the line `message`, or
// {"result":"ok","message":"..."}. Returns EXIT_OK.
int done(const GlobalOptions& g, const std::string& message);

// A field text (ParamField's) as a JSON number when it is one, else a string.
Json fieldJson(const std::string& text, bool isText);

// Progress on stdout: a bar redrawn in place on a terminal, otherwise one
// line per change, or per `step` percent for progress that moves in small
// steps (an upload), so that a log does not fill with 101 lines. Shows
// nothing when `quiet` (--json prints only the result).
class Progress {
public:
    explicit Progress(std::string label, bool quiet, int step = 1);
    ~Progress() { finish(); }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    // Shows `percent` (clamped to 0..100) when it differs from the last shown.
    void show(int percent);
    // Ends the redrawn line; idempotent.
    void finish();

private:
    std::string label_;
    bool quiet_;
    bool tty_;
    int step_;
    int last_ = -1;
    bool finished_ = false;
};

// A failure that a command reports itself: "recnet: MESSAGE" on stderr, after
// whatever stdout holds. Returns `status`.
int fail(const std::string& message, int status);

// A bad command line: "recnet: MESSAGE" and the one-line synopsis on stderr.
// Returns EXIT_USAGE.
int usageFailure(const std::string& message);

}  // namespace recnet::cli

#endif
