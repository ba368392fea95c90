#ifndef RECNET_TESTS_UNIT_SUPPORT_H
#define RECNET_TESTS_UNIT_SUPPORT_H

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/session.h"
#include "net.h"

/* A session whose command socket is one end of a socketpair; the test reads
 * what the module writes from the other end. The record is released with it. */
struct PairedSession {
    CommandSession* session = nullptr;
    int peerFd = -1;

    explicit PairedSession(uint32_t channels = 4, const char* address = "192.0.2.7") {
        int fds[2];
        socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
        sockaddr_in peer{};
        peer.sin_family = AF_INET;
        peer.sin_port = htons(40000);
        inet_pton(AF_INET, address, &peer.sin_addr);
        session = session_create(fds[0], peer, channels);
        peerFd = fds[1];
    }
    ~PairedSession() {
        if (session) {
            session_close_socket(session);
            session_destroy_unlinked(session);
        }
        close(peerFd);
    }
    /* Reads exactly n bytes, or fewer if nothing more comes within `seconds`. */
    testnet::Bytes read(size_t n, long seconds = 1) {
        testnet::Bytes out(n);
        size_t got = 0;
        timeval tv{seconds, 0};
        setsockopt(peerFd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        while (got < n && peerFd >= 0) {
            ssize_t r = recv(peerFd, out.data() + got, n - got, 0);
            if (r <= 0) break;
            got += static_cast<size_t>(r);
        }
        out.resize(got);
        return out;
    }
    bool nothingPending() {
        uint8_t b;
        return recv(peerFd, &b, 1, MSG_DONTWAIT) < 0;
    }
};

#endif
