#include "module_server.h"

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
    RawClient c(port, 0);
    if (!c.connected()) return false;
    c.send(message(0x80c));
    return c.recv(16).size() == 16;
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
