// Record files: deleteRecordFile through the dispatcher and called directly,
// and the two entry points that take no action.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "handlers_test_support.h"

using namespace ht;

namespace {

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

TEST(RecordFiles, TheNameReachesTheHostCutTo47CharactersAndIsAnsweredOk) {
    struct Case {
        Bytes payload;
        std::string name;
    };
    const Case cases[] = {
        {concat(nameField("2026/ch01/0001.rec"), pattern(20)), "2026/ch01/0001.rec"},
        {{}, ""},                                         // an empty request
        {Bytes(100, 'z'), std::string(47, 'z')},          // no NUL in the field, nor after it
        {nameField(std::string(47, 'k')), std::string(47, 'k')},
    };
    for (const Case& c : cases) {
        fake_host::reset();
        PairedSession ps;
        dispatch(ps, request(DELETE_FILE, c.payload));
        EXPECT_EQ(ps.read(16), replyHeader(DELETE_FILE, 0, 0, 0x00)) << c.name;
        EXPECT_TRUE(ps.nothingPending());
        EXPECT_EQ(fh::last("st_record_netDeleteRecordFile").data, hostBuffer(c.name));
    }
}

TEST(RecordFiles, PlayAndDownloadTakeNoAction) {
    fake_host::reset();
    EXPECT_EQ(sendPlayRecordFile(), 0);
    EXPECT_EQ(sendDownloadRecordFile(), 0);
    EXPECT_TRUE(fake_host::calls().empty());
}
