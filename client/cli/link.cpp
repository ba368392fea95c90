/*
 * link.cpp - the logged-in command connection, the login password and the
 * interrupt guard.
 */
#include "link.h"

#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <exception>
#include <iostream>

#include "errors.h"
#include "output.h"
#include "session.h"

namespace recnet::cli {

namespace {

// Reads one line from the terminal on stdin with echo off; the prompt and the
// line end go to stderr, so that stdout carries only the result.
std::optional<std::string> promptPassword(const GlobalOptions& g) {
    std::cerr << "password for " << g.user << "@" << g.host << ": " << std::flush;
    // TCSANOW rather than TCSAFLUSH: a password typed ahead of the prompt
    // is kept.
    termios saved{};
    const bool quiet = ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (quiet) {
        termios silent = saved;
        silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSANOW, &silent);
    }
    std::string line;
    const bool got = static_cast<bool>(std::getline(std::cin, line));
    if (quiet) ::tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    std::cerr << "\n";
    if (!got) return std::nullopt;
    return line;
}

}  // namespace

const std::string& loginPassword(const GlobalOptions& g) {
    if (g.password) return *g.password;
    if (!g.promptedPassword) {
        if (::isatty(STDIN_FILENO) == 1) {
            g.promptedPassword = promptPassword(g);
            if (!g.promptedPassword) throw UsageError("no password given");
        } else {
            g.promptedPassword = "admin";
        }
    }
    return *g.promptedPassword;
}

Link::Link(const GlobalOptions& g, Login mode)
    : g_(g), exceptionsAtStart_(std::uncaught_exceptions()) {
    // Asked before connecting, so that a slow typist does not hold a
    // connection the server would close for silence.
    const std::string* password = mode == Login::Skip ? nullptr : &loginPassword(g);
    conn_.connect(g.host, g.port, g.timeout);
    if (!password) return;
    sessionId_ = login(conn_, g.user, *password, g.timeout);
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

int acknowledged(const GlobalOptions& g, const std::function<void(Connection&)>& call,
                 const std::string& message) {
    {
        Link link(g);
        call(link.conn());
    }
    return done(g, message);
}

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
