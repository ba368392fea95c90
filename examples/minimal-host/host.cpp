/*
 * host.cpp - a minimal host of an installed libnetserver, built outside the
 * project's tree against the installed headers (through pkg-config or through
 * find_package). It answers what a login needs, loads the module named by
 * NETSERVER_MODULE, serves on the base port given as its only argument until
 * SIGINT or SIGTERM, then stops the server and unloads the module.
 *
 *   host BASE_PORT    prints "ready" once the server runs; exit status 0 after
 *                     a clean stop, 3 when a port is taken, 1 on other failures
 *
 * Like every host it defines each function of host_api.h (the ones a login
 * does not use refuse, in host_refusals.cpp) and loads the module with
 * RTLD_NOW, so that a function missing on either side fails the load.
 */
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "netserver/host_api.h"

#ifndef NETSERVER_MODULE
#error "NETSERVER_MODULE must name the installed module"
#endif

namespace {

// Written before the server starts; the module's threads start after it.
uint16_t g_basePort = 0;

// True when `port` can be bound now with the given socket type.
bool portFree(uint16_t port, int type) {
    const int fd = socket(AF_INET, type, 0);
    if (fd < 0) return false;
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

// The NUL-terminated text of a 24-byte login field, or "" without a NUL.
std::string loginField(const uint8_t* field) {
    const void* end = std::memchr(field, 0, 24);
    return end ? std::string(reinterpret_cast<const char*>(field)) : std::string();
}

}  // namespace

/* ---- the host functions a login uses -------------------------------------- */

extern "C" int readn(int fd, void* buffer, int n) {
    auto* bytes = static_cast<uint8_t*>(buffer);
    int done = 0;
    while (done < n) {
        const ssize_t got = recv(fd, bytes + done, static_cast<size_t>(n - done), 0);
        if (got == 0) return 0;
        if (got < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        done += static_cast<int>(got);
    }
    return n;
}

extern "C" int writen(int fd, const void* buffer, int n) {
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    int done = 0;
    while (done < n) {
        const ssize_t sent = send(fd, bytes + done, static_cast<size_t>(n - done), MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        done += static_cast<int>(sent);
    }
    return n;
}

extern "C" void* my_malloc(unsigned int size) { return std::malloc(size); }
extern "C" void my_free(void* block) { std::free(block); }

// One channel, no serial port.
extern "C" int st_param_getSysConfig(void* record) {
    std::memset(record, 0, 88);
    static_cast<uint8_t*>(record)[9] = 1;
    return 0;
}

extern "C" int st_param_getChannelNum(void) { return 1; }

// The base port, a little-endian u16 at offset 0.
extern "C" int st_param_getNetworkStruct(void* record) {
    auto* bytes = static_cast<uint8_t*>(record);
    std::memset(bytes, 0, 92);
    bytes[0] = static_cast<uint8_t>(g_basePort & 0xff);
    bytes[1] = static_cast<uint8_t>(g_basePort >> 8);
    return 0;
}

// One account, admin/admin: user name at 0, password at 24 (the layout that
// recnet-device and the recnet CLI use). The password goes back cleared.
extern "C" int st_app_netAuthUser(void* loginRequest) {
    auto* record = static_cast<uint8_t*>(loginRequest);
    if (loginField(record) != "admin") return -1;
    const bool match = loginField(record + 24) == "admin";
    std::memset(record + 24, 0, 24);
    return match ? 0 : -2;
}

extern "C" int st_comm_sendThreadInfoForTop(const char*) { return 0; }
extern "C" int st_param_writeLogBuffer(int, const char* text) {
    std::printf("log: %s\n", text);
    return 0;
}
extern "C" int st_comm_getIpAddr(char* text, int size) {
    std::snprintf(text, static_cast<size_t>(size), "127.0.0.1");
    return 0;
}
extern "C" int freeSockInfoList(CommandSession*) { return 0; }
extern "C" void(assert)(int condition) {
    if (!condition) std::abort();
}

/* ---- loading, starting and stopping ------------------------------------------ */

int main(int argc, char** argv) {
    const long port = argc == 2 ? std::strtol(argv[1], nullptr, 10) : 0;
    if (port < 1 || port > 65535 - 4) {
        std::fprintf(stderr, "usage: host BASE_PORT\n");
        return 1;
    }
    g_basePort = static_cast<uint16_t>(port);
    // The listener binds on its own thread and reports nothing: check first.
    if (!portFree(g_basePort, SOCK_STREAM) || !portFree(g_basePort + 1, SOCK_STREAM) ||
        !portFree(g_basePort + 4, SOCK_DGRAM)) {
        std::fprintf(stderr, "host: a port of base %ld is taken\n", port);
        return 3;
    }
    // Blocked before the module starts its threads, so that they inherit the
    // mask and only sigwait below takes the signals.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    void* module = dlopen(NETSERVER_MODULE, RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        std::fprintf(stderr, "host: %s\n", dlerror());
        return 1;
    }
    auto start = reinterpret_cast<int (*)()>(dlsym(module, "st_net_startNetServer"));
    auto stop = reinterpret_cast<int (*)()>(dlsym(module, "st_net_stopNetServer"));
    if (start == nullptr || stop == nullptr) {
        std::fprintf(stderr, "host: %s lacks the start and stop functions\n", NETSERVER_MODULE);
        dlclose(module);
        return 1;
    }
    const int started = start();
    if (started == 0) {
        std::printf("ready\n");
        std::fflush(stdout);
        int signal = 0;
        sigwait(&stopSignals, &signal);
    }
    // A failed start too leaves state that only the stop releases.
    stop();
    dlclose(module);
    return started == 0 ? 0 : 1;
}
