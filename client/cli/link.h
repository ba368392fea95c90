/*
 * link.h - the logged-in command connection that most commands use, the
 * password it logs in with, and the guard that turns SIGINT and SIGTERM into a
 * clean end.
 */
#ifndef RECNET_CLI_LINK_H
#define RECNET_CLI_LINK_H

#include <csignal>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app.h"
#include "connection.h"
#include "keepalive.h"

namespace recnet::cli {

// The password to log in with, in this order: --password; the environment
// variable RECNET_PASSWORD; typed at a prompt (without echo) when stdin is a
// terminal; "admin". Asks at most once per run. Throws UsageError when the
// prompt is cut short (end of input).
const std::string& loginPassword(const GlobalOptions& g);

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

// The shape of most device commands: logs in, makes the one request `call`,
// logs out and acknowledges with `message` (done() in output.h). Returns
// EXIT_OK; errors propagate.
int acknowledged(const GlobalOptions& g, const std::function<void(Connection&)>& call,
                 const std::string& message);

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
