/*
 * fake_host_stream.cpp - the fake host's stream pool and addresses.
 */
#include "fake_host.h"

namespace fake_host::detail {

void resetStream() {}

}  // namespace fake_host::detail
