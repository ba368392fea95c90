/*
 * record_files.cpp - deleting a record file on a client's request, and the
 * playback and download entry points, which take no action.
 */
#include <cstring>

#include "core/framing.h"
#include "netserver/host_api.h"
#include "netserver/netserver.h"

/* Thread: the session's message thread (MSG_DELETE_RECORD_FILE, in
 * handlers/recording.cpp), or a host thread. The message is the whole
 * buffer, by value: the reply is formed in this copy. The name field is 48 bytes; a name that fills it without a
 * terminator is cut to 47 characters, so the host always gets a terminated
 * name inside its 256-byte buffer. */
int deleteRecordFile(CommandSession* session, NetMessage message) {
    uint8_t request[wire::RECORD_FILE_REQUEST_SIZE];
    std::memcpy(request, message.bytes + wire::HEADER_SIZE, sizeof request);
    char name[wire::RECORD_FILE_NAME_BUFFER] = {};
    size_t length = strnlen(reinterpret_cast<const char*>(request), sizeof request - 1);
    std::memcpy(name, request, length);

    int result = st_record_netDeleteRecordFile(name);
    uint8_t status = result < 0 ? wire::STATUS_FAILED : wire::STATUS_OK;
    framing_send_reply(session, message.bytes, status, 0);
    return result < 0 ? -1 : 0;
}

int sendPlayRecordFile(void) { return 0; }

int sendDownloadRecordFile(void) { return 0; }
