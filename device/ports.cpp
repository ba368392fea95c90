/*
 * ports.cpp - the device's checks of the server's ports around the start.
 */
#include "ports.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "netserver/wire.h"
#include "unique_fd.h"

namespace {

sockaddr_in ipv4(uint32_t hostOrderAddress, uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(hostOrderAddress);
    return addr;
}

// Binds a socket of `type` to 0.0.0.0:port and closes it again.
bool tryBind(int type, uint16_t port, const char* what, std::string& error) {
    const char* proto = type == SOCK_STREAM ? "TCP" : "UDP";
    UniqueFd fd(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
    if (!fd) {
        error = std::string("cannot create a ") + proto + " socket: " + std::strerror(errno);
        return false;
    }
    const int on = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in addr = ipv4(INADDR_ANY, port);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        error = std::string(proto) + " port " + std::to_string(port) + " (" + what +
                ") is not available: " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace

bool checkPortsFree(uint16_t basePort, std::string& error) {
    return tryBind(SOCK_STREAM, basePort, "command port", error) &&
           tryBind(SOCK_STREAM, static_cast<uint16_t>(basePort + wire::DATA_PORT_OFFSET),
                   "data port", error) &&
           tryBind(SOCK_DGRAM, static_cast<uint16_t>(basePort + wire::UDP_RESPONDER_PORT_OFFSET),
                   "UDP responder port", error);
}

bool waitUntilListening(uint16_t port, std::chrono::milliseconds timeout) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + timeout;
    const sockaddr_in addr = ipv4(INADDR_LOOPBACK, port);
    for (;;) {
        UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (fd && ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0)
            return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}
