// Record files: deleteRecordFile through the dispatcher and called directly,
// and the two entry points that take no action.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "handlers_test_support.h"

using namespace ht;

namespace {

constexpr uint16_t DELETE_FILE = 0x842;

Bytes nameField(const std::string& name) {
    Bytes b(48, 0);
    std::memcpy(b.data(), name.data(), std::min<size_t>(name.size(), 48));
    return b;
}

/* The 256-byte buffer the host should get: the name, then zeros. */
Bytes hostBuffer(const std::string& name) {
    Bytes b(256, 0);
    std::memcpy(b.data(), name.data(), name.size());
    return b;
}

}  // namespace

TEST(RecordFiles, DeletedFileIsAnsweredOk) {
    fake_host::reset();
    PairedSession ps;
    Bytes payload = concat(nameField("2026/ch01/0001.rec"), pattern(20));
    dispatch(ps, request(DELETE_FILE, payload));
    EXPECT_EQ(ps.read(16), replyHeader(DELETE_FILE, 0, 0, 0x00));
    EXPECT_TRUE(ps.nothingPending());
    EXPECT_EQ(fh::last("st_record_netDeleteRecordFile").data, hostBuffer("2026/ch01/0001.rec"));
}

TEST(RecordFiles, EmptyRequestReachesTheHostWithAnEmptyName) {
    fake_host::reset();
    PairedSession ps;
    dispatch(ps, request(DELETE_FILE));
    EXPECT_EQ(ps.read(16), replyHeader(DELETE_FILE, 0, 0, 0x00));
    EXPECT_EQ(fh::last("st_record_netDeleteRecordFile").data, Bytes(256, 0));
}

TEST(RecordFiles, NameWithoutTerminatorIsCutTo47Characters) {
    fake_host::reset();
    PairedSession ps;
    Bytes payload(100, 'z');  // no NUL in the 48-byte field, nor after it
    dispatch(ps, request(DELETE_FILE, payload));
    ps.read(16);
    EXPECT_EQ(fh::last("st_record_netDeleteRecordFile").data, hostBuffer(std::string(47, 'z')));
}

TEST(RecordFiles, NameOf47CharactersIsKeptWhole) {
    fake_host::reset();
    PairedSession ps;
    std::string name(47, 'k');
    dispatch(ps, request(DELETE_FILE, nameField(name)));
    ps.read(16);
    EXPECT_EQ(fh::last("st_record_netDeleteRecordFile").data, hostBuffer(name));
}

TEST(RecordFiles, PlayAndDownloadTakeNoAction) {
    fake_host::reset();
    EXPECT_EQ(sendPlayRecordFile(), 0);
    EXPECT_EQ(sendDownloadRecordFile(), 0);
    EXPECT_TRUE(fake_host::calls().empty());
}
