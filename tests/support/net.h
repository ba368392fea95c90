// Loopback helpers: a free base port, a raw client with bounded reads, hand-built messages.
#ifndef RECNET_TESTS_NET_H
#define RECNET_TESTS_NET_H

#include <cstdint>
#include <string>
#include <vector>

namespace testnet {

using Bytes = std::vector<uint8_t>;

/* A socket of `type` bound to `port` on every address (SO_REUSEADDR), or -1. */
int bindAny(int type, uint16_t port);

/* A base port whose TCP base and base + 1 and UDP base + 4 are free now. */
uint16_t pickBasePort();
/* A single free TCP port that no base port of pickBasePort can reach. */
uint16_t pickSparePort();

/* Connects to 127.0.0.1:port, retrying for up to `waitMs` while refused. */
class RawClient {
public:
    explicit RawClient(uint16_t port, int waitMs = 3000);
    /* From loopback address `from` (one try), with the receive buffer set to
     * `receiveBuffer` bytes before the connect when it is not 0. */
    RawClient(uint16_t port, const char* from, int receiveBuffer = 0);
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool connected() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    /* Sends all bytes, waiting at most 3 s for room each time. */
    void send(const Bytes& bytes);
    /* Exactly n bytes, or fewer when the peer closed or `timeoutMs` ran out. */
    Bytes recv(size_t n, int timeoutMs = 3000);
    /* True when nothing arrives within `ms` (and the connection stays open). */
    bool silentFor(int ms);
    /* True when the peer closes within `timeoutMs` (any bytes before are read and dropped). */
    bool closedWithin(int timeoutMs);
    void close();

private:
    int fd_ = -1;
};

/* A message exactly as it travels: header fields little-endian, payload after. */
Bytes message(uint16_t type, const Bytes& payload = {}, uint16_t subtype = 0,
              uint8_t status = 0, uint32_t magic = 0x504C4C4C,
              const uint8_t rest[3] = nullptr);
/* A message whose length field says `length` whatever the payload. */
Bytes messageWithLength(uint16_t type, uint32_t length, const Bytes& payload = {});
/* The 84-byte login record: user at 0, password at 24. */
Bytes loginRecord(const std::string& user, const std::string& password);

uint32_t u32At(const Bytes& b, size_t off);
uint16_t u16At(const Bytes& b, size_t off);

}  // namespace testnet

#endif
