/*
 * fake_host_handlers.cpp - the fake host's functions behind the command
 * handlers: parameters, information, users and log, maintenance, PTZ,
 * recording, serial ports, firmware and snapshots.
 */
#include "fake_host.h"

namespace fake_host::detail {

void resetHandlers() {}

}  // namespace fake_host::detail
