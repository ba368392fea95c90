/*
 * cli_support.cpp - what the recnet commands share.
 */
#include "cli_support.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>

#include "commands.h"  // this folder's: the exit statuses
#include "errors.h"
#include "hex.h"

namespace recnet::cli {

/* ---- the command line ------------------------------------------------------------ */

bool isGlobalOption(const std::string& name) {
    return name == "--host" || name == "--port" || name == "--user" || name == "--password" ||
           name == "--timeout" || name == "--json";
}

std::string OptionCursor::name(std::optional<std::string>& inlineValue) const {
    const std::string& a = args[i];
    size_t eq = a.find('=');
    if (a.rfind("--", 0) == 0 && eq != std::string::npos) {
        inlineValue = a.substr(eq + 1);
        return a.substr(0, eq);
    }
    inlineValue.reset();
    return a;
}

std::string OptionCursor::value(const std::string& opt,
                                const std::optional<std::string>& inlineValue) {
    if (inlineValue) return *inlineValue;
    if (i + 1 >= args.size()) throw UsageError("option " + opt + " needs a value");
    return args[++i];
}

namespace {

// Whether `a` is an operand rather than an option under `rules`.
bool isOperand(const std::string& a, const WordRules& rules) {
    if (a.size() < 2 || a[0] != '-') return true;
    return rules.negativeNumbers && a[1] != '-' && !(a[1] >= 'a' && a[1] <= 'z');
}

}  // namespace

Words splitWords(const std::string& what, const std::vector<std::string>& args,
                 const std::set<std::string>& valued, const std::set<std::string>& flags,
                 const WordRules& rules) {
    Words w;
    bool ended = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (ended || isOperand(a, rules)) {
            w.operands.push_back(a);
            continue;
        }
        if (a == "--") {
            ended = true;
            continue;
        }
        std::string name = a;
        std::optional<std::string> inl;
        size_t eq = a.find('=');
        if (eq != std::string::npos && (rules.shortInlineValues || a.rfind("--", 0) == 0)) {
            name = a.substr(0, eq);
            inl = a.substr(eq + 1);
        }
        if (auto s = rules.shortNames.find(name); s != rules.shortNames.end()) name = s->second;
        if (valued.count(name)) {
            if (rules.refuseRepeats && w.options.count(name)) {
                throw UsageError("option " + name + " given twice");
            }
            if (inl) {
                w.options[name] = *inl;
            } else if (i + 1 < args.size()) {
                w.options[name] = args[++i];
            } else {
                throw UsageError("option " + name + " needs a value");
            }
        } else if (flags.count(name)) {
            if (inl) throw UsageError(name + " takes no value");
            w.options[name] = "";
        } else if (isGlobalOption(name)) {
            throw UsageError("option " + name + " goes before the command");
        } else {
            throw UsageError("unknown option " + name + " for " + what);
        }
    }
    return w;
}

/* ---- values ---------------------------------------------------------------------- */

uint64_t number(const std::string& what, const std::string& text, uint64_t max) {
    auto v = parseNumber(text, max);
    if (!v) {
        throw UsageError("bad value '" + text + "' for " + what + " (a number from 0 to " +
                         std::to_string(max) + ", decimal or 0x-hex)");
    }
    return *v;
}

uint64_t number(const std::string& what, const std::string& text, uint64_t min, uint64_t max) {
    auto v = parseNumber(text, max);
    if (!v || *v < min) {
        throw UsageError("bad value '" + text + "' for " + what + " (a number from " +
                         std::to_string(min) + " to " + std::to_string(max) + ")");
    }
    return *v;
}

Duration seconds(const std::string& what, const std::string& text, bool zeroAllowed) {
    char* end = nullptr;
    double s = std::strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(s) || s < 0 ||
        (s == 0 && !zeroAllowed) || s > 86400) {
        throw UsageError("bad value '" + text + "' for " + what +
                         (zeroAllowed ? " (seconds, 0 to 86400)"
                                      : " (seconds, more than 0 and at most 86400)"));
    }
    return Duration(static_cast<long long>(std::ceil(s * 1000)));
}

std::vector<uint8_t> hexBytes(const std::string& what, const std::string& text) {
    auto bytes = fromHex(text);
    if (!bytes) throw UsageError("bad value '" + text + "' for " + what + " (hex digit pairs)");
    return *bytes;
}

std::vector<uint8_t> readFile(const std::string& path, uint64_t max, bool regularOnly) {
    if (regularOnly) {
        std::error_code ec;
        const auto size = std::filesystem::file_size(path, ec);
        if (ec) throw UsageError("cannot read file '" + path + "': " + ec.message());
        if (size > max) {
            throw UsageError("file '" + path + "' is longer than " + std::to_string(max) +
                             " bytes");
        }
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) throw UsageError("cannot read file '" + path + "'");
    std::vector<uint8_t> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) throw UsageError("cannot read file '" + path + "'");
    if (b.size() > max) {
        throw UsageError("file '" + path + "' is longer than " + std::to_string(max) + " bytes");
    }
    return b;
}

/* ---- output ---------------------------------------------------------------------- */

std::string jsonString(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char b[8];
                    std::snprintf(b, sizeof b, "\\u%04x", c);
                    out += b;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

std::string formatDateTime(const TimeInfo& t) {
    char b[64];
    std::snprintf(b, sizeof b, "%04u-%02u-%02u %02u:%02u:%02u", t.year, t.month, t.day, t.hour,
                  t.minute, t.second);
    return b;
}

Progress::Progress(std::string label, int step)
    : label_(std::move(label)), tty_(::isatty(STDOUT_FILENO) == 1), step_(step) {}

void Progress::show(int percent) {
    const int p = std::clamp(percent, 0, 100);
    if (p == last_) return;
    if (!tty_ && last_ >= 0 && p != 100 && p / step_ == last_ / step_) return;
    last_ = p;
    if (tty_) {
        std::string bar(static_cast<size_t>(p / 4), '#');
        bar.resize(25, '.');
        std::cout << "\r" << label_ << " [" << bar << "] " << p << "%" << std::flush;
    } else {
        std::cout << label_ << " " << p << "%\n" << std::flush;
    }
}

void Progress::finish() {
    if (tty_ && last_ >= 0 && !finished_) std::cout << "\n" << std::flush;
    finished_ = true;
}

int fail(const std::string& message, int status) {
    std::cout.flush();
    std::cerr << "recnet: " << message << "\n";
    return status;
}

int usageFailure(const std::string& message) {
    std::cerr << "recnet: " << message << "\n" << shortUsage();
    return EXIT_USAGE;
}

/* ---- the connection -------------------------------------------------------------- */

Link::Link(const GlobalOptions& g, Login mode)
    : g_(g), exceptionsAtStart_(std::uncaught_exceptions()) {
    conn_.connect(g.host, g.port, g.timeout);
    if (mode == Login::Skip) return;
    sessionId_ = login(conn_, g.user, g.password, g.timeout);
    loggedIn_ = true;
    // Long waits (a large --timeout) must not lose the session.
    if (mode == Login::WithKeepAlive) keepAlive_ = std::make_unique<KeepAlive>(conn_);
}

Link::~Link() {
    keepAlive_.reset();
    if (!loggedIn_ || std::uncaught_exceptions() > exceptionsAtStart_) return;
    // Leaving is best effort: the command's result is already printed.
    try {
        logout(conn_, std::min<Duration>(g_.timeout, Duration(2000)));
    } catch (const Error&) {
    }
}

void Link::abandon() {
    keepAlive_.reset();
    loggedIn_ = false;
}

void Link::drop() {
    abandon();
    conn_.shutdown();
}

/* ---- signals --------------------------------------------------------------------- */

namespace {

volatile sig_atomic_t interruptedFlag = 0;

extern "C" void onInterrupt(int) { interruptedFlag = 1; }

}  // namespace

InterruptGuard::InterruptGuard() {
    interruptedFlag = 0;
    struct sigaction sa{};
    sa.sa_handler = onInterrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, &oldInt_);
    sigaction(SIGTERM, &sa, &oldTerm_);
}

InterruptGuard::~InterruptGuard() {
    sigaction(SIGINT, &oldInt_, nullptr);
    sigaction(SIGTERM, &oldTerm_, nullptr);
}

bool InterruptGuard::interrupted() const { return interruptedFlag != 0; }

}  // namespace recnet::cli
