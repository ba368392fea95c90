/*
 * module_server.cpp - the module started in process for a test.
 */
#include "module_server.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "fake_host.h"
#include "net.h"
#include "netserver/netserver.h"

namespace testnet {

namespace {

/* Whether the command port serves: a connection whose echo comes back. The
 * echo makes sure that its session existed and was served before it goes, so
 * that a test never counts the check's session as one of its own. */
bool accepts(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    if (ok) {
        Bytes echo = message(0x80c, {});
        ok = ::send(fd, echo.data(), echo.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(echo.size());
        pollfd p{fd, POLLIN, 0};
        uint8_t answer[16];
        ok = ok && poll(&p, 1, 3000) == 1 && ::recv(fd, answer, sizeof answer, MSG_WAITALL) == 16;
    }
    ::close(fd);
    return ok;
}

}  // namespace

ModuleServer::ModuleServer(bool resetHost) {
    if (resetHost) fake_host::reset();
    port_ = pickBasePort();
    fake_host::setBasePort(port_);
    if (st_net_startNetServer() != 0) return;
    started_ = true;
    for (int i = 0; i < 300 && !accepts(port_); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

ModuleServer::~ModuleServer() {
    if (started_) stop();
}

int ModuleServer::stop() {
    started_ = false;
    return st_net_stopNetServer();
}

}  // namespace testnet
