/*
 * serial.cpp - MSG_SERIAL_SEND: client bytes written to the device's serial
 * port. (Bytes from the port to a client: transfer/serial_channel.cpp.)
 */
#include <cstring>

#include "handlers/handlers.h"
#include "netserver/host_api.h"

/* MSG_SERIAL_SEND: the answer goes out before the port is touched; the bytes
 * are written only if the answer went out and the send switch is on.
 * A count above the 1024 data bytes a request carries cannot be written
 * faithfully, so nothing reaches the port and the client learns it from
 * STATUS_FAILED. */
void handle_serial_send(HandlerContext& ctx) {
    uint8_t work[wire::MESSAGE_BUFFER_SIZE];
    uint8_t scratch[wire::SCRATCH_SIZE];
    reply_copy_begin(ctx, work);

    uint8_t transparence[wire::TRANSPARENCE_SIZE] = {};
    st_param_getTransparenceStruct(transparence);
    const int port = wire::serialPortOf(transparence[wire::TRANSPARENCE_PORT]);
    uint8_t serial[wire::SERIAL_SETTING_SIZE] = {};
    st_param_getSerialStruct(port, serial);

    std::memcpy(scratch, work + wire::HEADER_SIZE, wire::SERIAL_DATA + wire::SERIAL_MAX_DATA);
    uint32_t count = wire::getU32(scratch, wire::SERIAL_COUNT);
    if (count > wire::SERIAL_MAX_DATA) {
        reply_copy_send(ctx, work, wire::STATUS_FAILED, 0);
        return;
    }
    if (reply_copy_send(ctx, work, wire::STATUS_OK, 0) < 0) return;
    if (transparence[wire::TRANSPARENCE_SEND] != 1) return;  // sending is off: dropped

    st_com_refreshSerialParam(port, wire::getU32(serial, wire::SERIAL_BAUD),
                              wire::getU32(serial, wire::SERIAL_PARITY),
                              serial[wire::SERIAL_STOP_BITS], serial[wire::SERIAL_DATA_BITS]);
    st_com_sendDataToCom(port, scratch + wire::SERIAL_DATA, count);
}
