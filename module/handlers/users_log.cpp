/*
 * users_log.cpp - user accounts and the device log: list, add, change and
 * delete accounts; list and delete log entries.
 *
 * The records (UserRecord 56 bytes, LogQuery 52, LogRecord 76) are the host's
 * and the client's; the module copies them byte for byte. Whether the
 * session's user may manage accounts or the log is the host's decision.
 */
#include <cstring>

#include "handlers/handlers.h"
#include "netserver/host_api.h"

namespace {

/* Fills a list reply from a host list and releases the list. The count word
 * says how many records the reply holds, which is never more than fit behind
 * it in the payload area; a longer list is cut, never overrun. Every node is
 * freed with my_free exactly once, in list order, whether or not the send
 * succeeds. Node: `recordSize` bytes of record, then the next pointer. */
template <typename Node>
void reply_list(HandlerContext& ctx, uint8_t* work, Node* head) {
    constexpr size_t recordSize = sizeof(Node::record);
    constexpr size_t capacity = (wire::MAX_PAYLOAD - wire::LIST_COUNT_SIZE) / recordSize;
    uint8_t* payload = work + wire::HEADER_SIZE;
    size_t held = 0;
    for (Node* node = head; node != nullptr && held < capacity; node = node->next, ++held)
        std::memcpy(payload + wire::LIST_COUNT_SIZE + held * recordSize, node->record, recordSize);
    wire::putU32(payload, 0, static_cast<uint32_t>(held));
    reply_copy_send(ctx, work, wire::STATUS_OK,
                    static_cast<uint32_t>(wire::LIST_COUNT_SIZE + held * recordSize));

    // The host handed the whole list over: release all of it, held or not.
    for (Node* node = head; node != nullptr;) {
        Node* next = node->next;
        my_free(node);
        node = next;
    }
}

UserRecord user_from_payload(const uint8_t* work) {
    UserRecord user;
    std::memcpy(user.bytes, work + wire::HEADER_SIZE, sizeof user.bytes);
    return user;
}

LogQuery query_from_payload(const uint8_t* work) {
    LogQuery query;
    std::memcpy(query.bytes, work + wire::HEADER_SIZE, sizeof query.bytes);
    return query;
}

using UserCall = int (*)(UserRecord user);

/* A single-record user case: the record by value, status by the sign. */
void user_single(HandlerContext& ctx, UserCall call) {
    uint8_t work[wire::MESSAGE_BUFFER_SIZE];
    reply_copy_begin(ctx, work);
    int result = call(user_from_payload(work));
    reply_copy_send(ctx, work, status_for(result), 0);
}

static_assert(sizeof(UserNode::record) == wire::USER_RECORD_SIZE);
static_assert(sizeof(LogNode::record) == wire::LOG_RECORD_SIZE);
static_assert(sizeof(LogQuery::bytes) == wire::LOG_QUERY_SIZE);

}  // namespace

/* MSG_GET_LOG_LIST: the entries the query selects, oldest first as the host
 * lists them. A failed host call hands nothing over, so nothing is freed. */
void handle_get_log_list(HandlerContext& ctx) {
    uint8_t work[wire::MESSAGE_BUFFER_SIZE];
    reply_copy_begin(ctx, work);
    LogNode* head = nullptr;
    int result = st_app_netGetLogList(query_from_payload(work), &head);
    if (result < 0) {
        reply_copy_send(ctx, work, wire::STATUS_FAILED, 0);
        return;
    }
    reply_list(ctx, work, head);
}

void handle_delete_log(HandlerContext& ctx) {
    uint8_t work[wire::MESSAGE_BUFFER_SIZE];
    reply_copy_begin(ctx, work);
    int result = st_app_netDeleteLogInfo(query_from_payload(work));
    reply_copy_send(ctx, work, status_for(result), 0);
}

/* MSG_GET_USER_LIST: the accounts in the host's order. */
void handle_get_user_list(HandlerContext& ctx) {
    uint8_t work[wire::MESSAGE_BUFFER_SIZE];
    reply_copy_begin(ctx, work);
    UserNode* head = nullptr;
    int result = st_app_netGetUserList(&head);
    if (result < 0) {
        reply_copy_send(ctx, work, wire::STATUS_FAILED, 0);
        return;
    }
    reply_list(ctx, work, head);
}

void handle_add_user(HandlerContext& ctx) { user_single(ctx, st_app_netAddUser); }
void handle_delete_user(HandlerContext& ctx) { user_single(ctx, st_app_netDeleteUser); }
void handle_modify_user(HandlerContext& ctx) { user_single(ctx, st_app_netModifyUser); }
