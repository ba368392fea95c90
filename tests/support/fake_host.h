// Every host function of host_api.h, forceable and recorded; safe from the module's threads.
#ifndef RECNET_TESTS_FAKE_HOST_H
#define RECNET_TESTS_FAKE_HOST_H

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "netserver/host_api.h"

namespace fake_host {

/* Back to defaults: 4 channels, 2 serial ports, base port 0, user admin with
 * password admin, no forced results, no recorded calls, empty log. */
void reset();

void setChannels(uint8_t channels);
void setSerialPorts(uint8_t ports);
void setBasePort(uint16_t port);
/* Raw bytes of the 88-byte system-configuration record (after the above). */
void setSysConfigByte(size_t offset, uint8_t value);

/* Host function `name` returns `result` instead of doing its work; for
 * my_malloc any forced result means null. */
void force(const std::string& name, int result);
void unforce(const std::string& name);
/* Like force, for the functions called too often to be recorded (readn,
 * st_com_getDataFromRecBuf): they return `result` and the call is not
 * recorded. */
void forceQuiet(const std::string& name, int result);
/* writen sends at most `bytes` more bytes in all, then fails (-1): a
 * connection that breaks partway through a message. */
void failWritesAfter(size_t bytes);
std::optional<int> quietResult(const char* name);

/* Replaces the user check; it gets the 84-byte LoginRequest. */
void setAuth(std::function<int(uint8_t* record)> check);
void setTimeInfo(std::function<int(CommandSession*, void* message)> answer);

/* One recorded call: integer arguments in order, and the bytes of its record
 * argument (the record passed, the name, the data written to a port). */
struct Call {
    std::string name;
    std::vector<int64_t> args;
    std::vector<uint8_t> data;
};

int callCount(const std::string& name);
std::vector<std::string> calls();      // the names, oldest first
std::vector<Call> recordedCalls();     // the same with arguments
std::vector<std::string> logLines();  // texts given to st_param_writeLogBuffer
std::vector<int> logCategories();

/* For the files that implement the host functions: records a call and
 * returns its forced result, if any. */
std::optional<int> enterCall(const char* name, std::vector<int64_t> args = {}, std::vector<uint8_t> data = {});

namespace detail {
void resetHandlers();
void resetStream();
void resetTransfers();
/* my_free reports every block it releases (fake_host_handlers.cpp keeps them). */
void noteFree(void* block);
}  // namespace detail

}  // namespace fake_host

#endif
