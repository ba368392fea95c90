/*
 * transfer.h - the side channels that the host drives on a session:
 * firmware upload and the transparent serial channel.
 */
#ifndef NETSERVER_TRANSFER_TRANSFER_H
#define NETSERVER_TRANSFER_TRANSFER_H

#include "core/session.h"

/* Ends the session's transparent serial forwarding, if one runs: the first
 * step of the session's teardown and of the server stop, before the
 * connection is closed and the record released. */
void serial_channel_end(CommandSession* session);

#endif
