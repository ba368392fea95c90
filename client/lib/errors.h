/*
 * errors.h - the one exception type of the client library.
 *
 * Every failure that a caller may want to tell apart carries a Kind; the
 * message is a complete sentence fragment meant for a person ("connection
 * refused by 127.0.0.1:5500"), so a front end can print it as it is.
 */
#ifndef RECNET_CLIENT_ERRORS_H
#define RECNET_CLIENT_ERRORS_H

#include <stdexcept>
#include <string>

namespace recnet {

class Error : public std::runtime_error {
public:
    enum class Kind {
        Connect,       // name lookup failed, connection refused or not established in time
        Closed,        // the server closed the connection (or reset it)
        Timeout,       // no (complete) message within the time-out
        Protocol,      // the server sent something this client cannot accept
        LoginRefused,  // the server answered the login with a refusal
        Refused,       // the device answered a command with a failure or busy status
    };

    Error(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}

    // Which of the failure classes above this is.
    Kind kind() const noexcept { return kind_; }

private:
    Kind kind_;
};

}  // namespace recnet

#endif
