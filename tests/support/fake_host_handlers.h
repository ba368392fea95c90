// fake_host::force(name, r) makes a function return r without doing its work
// (getters then write nothing); setResult(name, r) does the work, then returns r.
#ifndef RECNET_TESTS_FAKE_HOST_HANDLERS_H
#define RECNET_TESTS_FAKE_HOST_HANDLERS_H

#include <cstdint>
#include <string>
#include <vector>

#include "fake_host.h"

namespace fake_host::handlers {

using Bytes = std::vector<uint8_t>;
using Call = fake_host::Call;

/* Every recorded call of `name`, oldest first. */
std::vector<Call> calls(const std::string& name);
/* The newest call of `name`; a Call with an empty name when there was none. */
Call last(const std::string& name);

/* Bytes a getter writes at the start of its out buffer (the rest of the
 * record stays zero). For st_app_netGetParam the bytes go to the payload
 * area; for the Wi-Fi scans to the scratch area, and their default result is
 * then the byte count. */
void setOutput(const std::string& name, Bytes bytes);
/* The result a function returns after doing its work (default 0). */
void setResult(const std::string& name, int result);
/* The count st_app_netGetParam reports (default: the size of its output). */
void setGetParamCount(uint32_t count);

/* Stored value of an audited parameter type, laid out as a MSG_SET_PARAM
 * payload carries it (per-channel types: all channels back to back). The
 * getters read from it; missing bytes read as zero. Types 5 and 144 come from
 * the fake host's network and system-configuration records instead. */
void setStoredParam(uint16_t type, Bytes image);

/* The records of the lists that st_app_netGetUserList / st_app_netGetLogList
 * hand over (nodes from malloc, in this order). An empty vector: null head. */
void setUserList(std::vector<Bytes> records);
void setLogList(std::vector<Bytes> records);
/* Every list node handed over, and every block given to my_free. */
std::vector<const void*> handedOutNodes();
std::vector<const void*> freedBlocks();

/* While held, st_app_fdiskHd blocks (a partitioning that runs). */
void holdFdisk();
void releaseFdisk();

}  // namespace fake_host::handlers

#endif
