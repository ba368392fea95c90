/*
 * transfer.h - the side channels that the host drives on a session:
 * firmware upload and the transparent serial channel.
 */
#ifndef NETSERVER_TRANSFER_TRANSFER_H
#define NETSERVER_TRANSFER_TRANSFER_H

#include <atomic>
#include <cstdint>

#include "core/session.h"

/* The firmware upload's image buffer, null when no upload holds one. Only
 * the uploading thread allocates and frees it; the flash worker reads it
 * while the upload waits for the worker's end. */
extern uint8_t* updateImage;
/* State of the flash write: 0 running, 1 finished, -1 failed. Written by the
 * flash worker, read by the upload's progress polling. */
extern std::atomic<int32_t> updateStatus;

/* Ends the session's transparent serial forwarding, if one runs: the first
 * step of the session's teardown and of the server stop, before the
 * connection is closed and the record released. */
void serial_channel_end(CommandSession* session);

#endif
