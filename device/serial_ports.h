/*
 * serial_ports.h - the device's serial ports, each a pseudo-terminal.
 *
 * A terminal program on the pseudo-terminal's path is the other end of the
 * port. Bytes sent to the port appear there; bytes it writes are read by the
 * port's reader thread into the port's receive ring, from which the
 * transparent serial channel takes them.
 */
#ifndef RECNET_DEVICE_SERIAL_PORTS_H
#define RECNET_DEVICE_SERIAL_PORTS_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "unique_fd.h"
#include "non_copyable.h"

// Owns the ports and their reader threads; main() opens it before the module
// starts and destroys it after the module has stopped.
class SerialPorts : NonCopyable {
public:
    SerialPorts();
    ~SerialPorts();

    // Opens `count` pseudo-terminals (raw mode, 9600 8N1) and starts a reader
    // thread for each. False with a one-line reason in `error`.
    bool open(int count, std::string& error);
    // Wakes every reader thread, joins it and closes the terminals.
    void stop();

    int count() const { return static_cast<int>(ports_.size()); }
    // The path of the port's terminal end, e.g. /dev/pts/5.
    std::string path(int port) const;

    // Bytes the port has received from its terminal and sent to it since it
    // was opened; zeros for an unknown port.
    struct ByteCounts {
        uint64_t received = 0;
        uint64_t sent = 0;
    };
    ByteCounts bytes(int port) const;

    // Writes what the terminal's buffer takes without blocking (a line
    // nobody reads loses the rest). Returns the bytes written, or -1.
    int send(int port, const uint8_t* data, uint32_t count);
    // Applies baud rate, parity (0 none, 1 odd, 2 even), stop bits (1, 2) and
    // data bits (5..8) to the terminal. Returns 0, or -1 for a value it does
    // not know.
    int configure(int port, uint32_t baud, uint32_t parity, uint32_t stopBits, uint32_t dataBits);

    // The receive ring: a u32 write position that counts every byte received;
    // a reader's cursor word 0 is its read position.
    int writePosition(int port);
    // Returns when a byte arrives, a broadcast comes, or after one second.
    int waitForData(int port);
    // The next byte for the cursor (0..255) and advances it, or -1 when there
    // is none. A reader that fell more than the ring's size behind skips the
    // bytes that were overwritten.
    int take(int port, uint32_t* cursor);
    // Wakes every waiter of the port.
    int broadcast(int port);

private:
    struct Port;
    Port* find(int port) const;
    void readLoop(Port& port);

    std::vector<std::unique_ptr<Port>> ports_;
    UniqueFd wakeRead_, wakeWrite_;  // a byte on the pipe ends every reader
};

// The ports that the serial host functions use; null when none are open.
void setDeviceSerialPorts(SerialPorts* ports);
SerialPorts* deviceSerialPorts();

// Opens the ports, prints "serial N: PATH" for each on stdout and registers
// them (host_serial.cpp). False with a one-line reason in `error`.
bool startSerialPorts(SerialPorts& ports, int count, std::string& error);

#endif
