#ifndef RECNET_TESTS_MODULE_SERVER_H
#define RECNET_TESTS_MODULE_SERVER_H

#include <cstdint>

namespace testnet {

class ModuleServer {
public:
    /* Resets the fake host (keeping what the test set before only if
     * `resetHost` is false), picks a base port, starts the module and waits
     * until the command port accepts. */
    explicit ModuleServer(bool resetHost = true);
    ~ModuleServer();
    ModuleServer(const ModuleServer&) = delete;
    ModuleServer& operator=(const ModuleServer&) = delete;

    uint16_t port() const { return port_; }
    bool started() const { return started_; }
    /* Stops the module now (the destructor then does nothing); returns the
     * stop's result. */
    int stop();

private:
    uint16_t port_ = 0;
    bool started_ = false;
};

}  // namespace testnet

#endif
