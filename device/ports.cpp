/*
 * ports.cpp - the device's checks of the server's ports around the start.
 */
#include "ports.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
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

enum class Listening { Yes, No, Unknown };

// Whether IPv4 TCP sockets listen on both ports, from the table in
// /proc/net/tcp: lines of "sl local_address rem_address st ...", the local
// address as hex "ADDRESS:PORT" and st 0A for LISTEN.
Listening listeningState(uint16_t first, uint16_t second) {
    std::ifstream table("/proc/net/tcp");
    if (!table) return Listening::Unknown;
    bool haveFirst = false, haveSecond = false;
    std::string line;
    std::getline(table, line);  // the column titles
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        if (!(fields >> slot >> local >> remote >> state) || state != "0A") continue;
        const size_t colon = local.find(':');
        if (colon == std::string::npos) continue;
        const unsigned long port = std::strtoul(local.c_str() + colon + 1, nullptr, 16);
        haveFirst = haveFirst || port == first;
        haveSecond = haveSecond || port == second;
    }
    return haveFirst && haveSecond ? Listening::Yes : Listening::No;
}

// Whether a connection to 127.0.0.1:port succeeds (it is closed at once).
bool connectsTo(uint16_t port) {
    const sockaddr_in addr = ipv4(INADDR_LOOPBACK, port);
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    return fd && ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
}

}  // namespace

bool checkPortsFree(uint16_t basePort, std::string& error) {
    return tryBind(SOCK_STREAM, basePort, "command port", error) &&
           tryBind(SOCK_STREAM, static_cast<uint16_t>(basePort + wire::DATA_PORT_OFFSET),
                   "data port", error) &&
           tryBind(SOCK_DGRAM, static_cast<uint16_t>(basePort + wire::UDP_RESPONDER_PORT_OFFSET),
                   "UDP responder port", error);
}

bool waitUntilListening(uint16_t basePort, std::chrono::milliseconds timeout) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + timeout;
    const uint16_t dataPort = static_cast<uint16_t>(basePort + wire::DATA_PORT_OFFSET);
    for (;;) {
        const Listening state = listeningState(basePort, dataPort);
        if (state == Listening::Yes) return true;
        if (state == Listening::Unknown && connectsTo(basePort)) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}
