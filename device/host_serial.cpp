/*
 * host_serial.cpp - host functions of the serial ports: their stored
 * settings, sending, and the receive ring of the transparent channel.
 */
#include <cstdio>
#include <cstring>
#include <string>
#include <optional>

#include "device_state.h"
#include "failures.h"
#include "netserver/host_api.h"
#include "netserver/records.h"
#include "serial_ports.h"
#include "store.h"

namespace {

namespace rec = records;

int copyParam(uint16_t type, int index, size_t size, void* out) {
    if (out == nullptr) return -1;
    std::optional<Bytes> r = deviceStore().param(type, index);
    if (!r) return -1;
    r->resize(size, 0);
    std::memcpy(out, r->data(), size);
    return 0;
}

}  // namespace

// The stored 4-byte TransparenceSetting (port, receive on, send on; by
// default port 0 with both on). Returns 0, or -1 on a store failure.
extern "C" int st_param_getTransparenceStruct(void* out) {
    if (auto injected = injectedFailure("st_param_getTransparenceStruct")) return *injected;
    return copyParam(rec::PARAM_TRANSPARENCE, 0, wire::TRANSPARENCE_SIZE, out);
}

// The stored 32-byte SerialSetting of `port` (by default 9600 baud, 8 data
// bits, no parity, 1 stop bit). Returns 0, or -1 for a port out of range.
extern "C" int st_param_getSerialStruct(int port, void* out) {
    if (auto injected = injectedFailure("st_param_getSerialStruct")) return *injected;
    if (port < 0 || port >= deviceState().serialPorts) return -1;
    return copyParam(rec::PARAM_SERIAL, port, wire::SERIAL_SETTING_SIZE, out);
}

// Applies baud rate (word8), parity (word4), stop bits (byte1) and data bits
// (byte0) to the port's terminal. Returns 0, or -1 for an unknown port or
// value.
extern "C" int st_com_refreshSerialParam(int port, uint32_t word8, uint32_t word4, uint32_t byte1,
                                         uint32_t byte0) {
    if (auto injected = injectedFailure("st_com_refreshSerialParam")) return *injected;
    SerialPorts* ports = deviceSerialPorts();
    return ports ? ports->configure(port, word8, word4, byte1, byte0) : -1;
}

// Writes the bytes to the port's terminal. Returns how many it took, or -1
// for an unknown port.
extern "C" int st_com_sendDataToCom(int port, const uint8_t* data, uint32_t count) {
    if (auto injected = injectedFailure("st_com_sendDataToCom")) return *injected;
    SerialPorts* ports = deviceSerialPorts();
    return ports ? ports->send(port, data, count) : -1;
}

// The port's receive-ring write position, or -1 for an unknown port.
extern "C" int st_com_getRecBufWritePos(int port) {
    if (auto injected = injectedFailure("st_com_getRecBufWritePos")) return *injected;
    SerialPorts* ports = deviceSerialPorts();
    return ports ? ports->writePosition(port) : -1;
}

// Waits until a byte arrives on the port, a broadcast wakes it, or one second
// has passed. Returns 0, or -1 for an unknown port.
extern "C" int st_com_recDataWaiting(int port) {
    if (auto injected = injectedFailure("st_com_recDataWaiting")) return *injected;
    SerialPorts* ports = deviceSerialPorts();
    return ports ? ports->waitForData(port) : -1;
}

// The next received byte for the cursor (word 0 advances), or -1 when none.
extern "C" int st_com_getDataFromRecBuf(int port, uint32_t* cursor) {
    if (auto injected = injectedFailure("st_com_getDataFromRecBuf")) return *injected;
    SerialPorts* ports = deviceSerialPorts();
    return ports ? ports->take(port, cursor) : -1;
}

// Wakes every waiter of the port. Returns 0, or -1 for an unknown port.
extern "C" int st_com_sendRecBufBroadcast(int port) {
    if (auto injected = injectedFailure("st_com_sendRecBufBroadcast")) return *injected;
    SerialPorts* ports = deviceSerialPorts();
    return ports ? ports->broadcast(port) : -1;
}

bool startSerialPorts(SerialPorts& ports, int count, std::string& error) {
    if (!ports.open(count, error)) return false;
    for (int i = 0; i < ports.count(); ++i) std::printf("serial %d: %s\n", i, ports.path(i).c_str());
    std::fflush(stdout);
    setDeviceSerialPorts(&ports);
    return true;
}
