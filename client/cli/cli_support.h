/*
 * cli_support.h - what the recnet commands share: reading the words after a
 * command, values on the command line (numbers, seconds, hex, files), JSON
 * text, progress and failure lines, the logged-in command connection and the
 * guard that turns SIGINT and SIGTERM into a clean end.
 */
#ifndef RECNET_CLI_CLI_SUPPORT_H
#define RECNET_CLI_CLI_SUPPORT_H

#include <csignal>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "connection.h"
#include "keepalive.h"
#include "options.h"
#include "session.h"

namespace recnet::cli {

/* ---- the command line ------------------------------------------------------------ */

// Whether `name` is one of the global options (--host, --port, --user,
// --password, --timeout, --json), which go before the command.
bool isGlobalOption(const std::string& name);

// One option at args[i], "--name value" or "--name=value"; the global options
// and the raw and stream commands read theirs word by word with it.
struct OptionCursor {
    const std::vector<std::string>& args;
    size_t& i;

    // The option's name: args[i] up to its '=' when it starts with "--" and
    // has one (the rest goes to `inlineValue`), else args[i] whole.
    std::string name(std::optional<std::string>& inlineValue) const;

    // The option's value: the inline one, or the next word (consumed).
    // Throws UsageError "option OPT needs a value" when there is none.
    std::string value(const std::string& opt, const std::optional<std::string>& inlineValue);
};

// The words after a command: operands and options.
struct Words {
    std::vector<std::string> operands;
    std::map<std::string, std::string> options;  // flags map to ""

    bool has(const std::string& name) const { return options.count(name) != 0; }
    std::optional<std::string> get(const std::string& name) const {
        auto it = options.find(name);
        if (it == options.end()) return std::nullopt;
        return it->second;
    }
};

// How splitWords reads the words of one family of commands. The defaults are
// those of the device commands.
struct WordRules {
    // Whether a word of '-' and a character that is neither '-' nor a
    // lower-case letter ("-5", "-0x10") is an operand, so that negative
    // numbers need no "--" in front. Otherwise every word longer than "-"
    // that starts with '-' is an option.
    bool negativeNumbers = true;
    // Whether "-x=v" gives option -x the value v; "--x=v" always does. When
    // not, such a word is taken whole as the option's name.
    bool shortInlineValues = true;
    // Short option names and the option each stands for ({"-o", "--out"}).
    std::map<std::string, std::string> shortNames;
    // Whether a valued option given twice is a usage error; otherwise the
    // last value counts.
    bool refuseRepeats = false;
};

// Splits `args` into operands and the options named in `valued` (which take
// a value: "--x v" or "--x=v") and `flags` (which take none); "--" ends the
// options. Throws UsageError for an option that `what` (the command, as the
// message names it) does not take, a global option, a valued option without
// its value and a flag with one.
Words splitWords(const std::string& what, const std::vector<std::string>& args,
                 const std::set<std::string>& valued, const std::set<std::string>& flags,
                 const WordRules& rules = {});

/* ---- values ---------------------------------------------------------------------- */

// A decimal or 0x-hex number from 0 to `max`. Throws UsageError "bad value
// 'TEXT' for WHAT (a number from 0 to MAX, decimal or 0x-hex)" otherwise.
uint64_t number(const std::string& what, const std::string& text, uint64_t max);

// A decimal or 0x-hex number from `min` to `max`. Throws UsageError "bad value
// 'TEXT' for WHAT (a number from MIN to MAX)" otherwise.
uint64_t number(const std::string& what, const std::string& text, uint64_t min, uint64_t max);

// Seconds, fractions allowed, up to a day (86400), 0 only when `zeroAllowed`;
// rounded up to whole milliseconds. Throws UsageError "bad value 'TEXT' for
// WHAT (seconds, more than 0 and at most 86400)", or "(seconds, 0 to 86400)"
// when zero is allowed.
Duration seconds(const std::string& what, const std::string& text, bool zeroAllowed);

// Bytes given as pairs of hex digits. Throws UsageError "bad value 'TEXT' for
// WHAT (hex digit pairs)" otherwise.
std::vector<uint8_t> hexBytes(const std::string& what, const std::string& text);

// The whole file at `path`, at most `max` bytes. A file that cannot be read is
// a bad command line: UsageError "cannot read file 'PATH'" or "file 'PATH' is
// longer than MAX bytes". With `regularOnly`, only a regular file will do: its
// size is checked before it is read (a firmware image may be large), and a
// path that is missing or not a regular file says why ("cannot read file
// 'PATH': REASON"). Otherwise anything that reads will do (a pipe, /dev/stdin).
std::vector<uint8_t> readFile(const std::string& path, uint64_t max, bool regularOnly);

/* ---- output ---------------------------------------------------------------------- */

// `s` as a JSON string literal, quotes included.
std::string jsonString(const std::string& s);

// "YYYY-MM-DD HH:MM:SS".
std::string formatDateTime(const TimeInfo& t);

// Progress on stdout: a bar redrawn in place on a terminal, otherwise one
// line per change, or per `step` percent for progress that moves in small
// steps (an upload), so that a log does not fill with 101 lines.
class Progress {
public:
    explicit Progress(std::string label, int step = 1);
    // Shows `percent` (clamped to 0..100) when it differs from the last shown.
    void show(int percent);
    // Ends the redrawn line; idempotent.
    void finish();

private:
    std::string label_;
    bool tty_;
    int step_;
    int last_ = -1;
    bool finished_ = false;
};

// A failure that a command reports itself: "recnet: MESSAGE" on stderr, after
// whatever stdout holds. Returns `status`.
int fail(const std::string& message, int status);

// A bad command line, reported as main reports one: "recnet: MESSAGE" and the
// short usage on stderr. Returns EXIT_USAGE.
int usageFailure(const std::string& message);

/* ---- the connection -------------------------------------------------------------- */

// A command connection to the global options' host and port, logged in as
// `mode` says. A logged-in session is kept alive (unless told not to), and
// when the Link goes out of scope in the normal course it logs out, politely
// and at most 2 s long. After a failure (an exception in flight) it only
// closes: the conversation is then in an unknown state and the error is what
// matters, and the server ends the session when the connection closes.
class Link {
public:
    enum class Login { Skip, WithKeepAlive, WithoutKeepAlive };

    // Connects (and logs in); throws what Connection::connect and login throw.
    explicit Link(const GlobalOptions& g, Login mode = Login::WithKeepAlive);
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;
    ~Link();

    Connection& conn() { return conn_; }

    // The session id that the login returned (nullopt without one).
    std::optional<uint32_t> sessionId() const { return sessionId_; }

    // The session ends without a logout: the device ends it by itself (it
    // restarts). Stops the keep-alive; the connection stays open.
    void abandon();

    // As abandon(), and shuts the connection down at once: a stream that the
    // device pushes on it ends only so.
    void drop();

private:
    const GlobalOptions& g_;
    int exceptionsAtStart_;
    Connection conn_;
    bool loggedIn_ = false;
    std::optional<uint32_t> sessionId_;
    std::unique_ptr<KeepAlive> keepAlive_;  // declared after conn_: stopped first
};

/* ---- signals --------------------------------------------------------------------- */

// While one lives, SIGINT and SIGTERM set a flag instead of ending the
// process, so that a recording, a stream or an attached serial channel can
// end cleanly. Without SA_RESTART, so that a blocked poll returns at once.
// The flag is cleared when a guard is installed. One guard at a time.
class InterruptGuard {
public:
    InterruptGuard();
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

    // Whether a signal came since the guard was installed.
    bool interrupted() const;

private:
    struct sigaction oldInt_{}, oldTerm_{};
};

}  // namespace recnet::cli

#endif
