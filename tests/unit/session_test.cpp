// The session registry: records, the list, claims and lookups.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include "fake_host.h"
#include "unit_support.h"

namespace {

sockaddr_in addressOf(const char* ip) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

/* Links fresh records and removes whatever is left at the end of the test. */
struct ListFixture : ::testing::Test {
    std::vector<CommandSession*> made;
    void SetUp() override {
        fake_host::reset();
        session_list_reset();
    }
    void TearDown() override {
        for (CommandSession* s : made) session_remove(s);
        session_list_reset();
    }
    CommandSession* linked(const char* ip = "10.1.1.1") {
        CommandSession* s = session_create(-1, addressOf(ip), 2);
        EXPECT_NE(s, nullptr);
        EXPECT_TRUE(session_link(s));
        made.push_back(s);
        return s;
    }
    void forget(CommandSession* s) { made.erase(std::find(made.begin(), made.end(), s)); }
};

}  // namespace

TEST_F(ListFixture, RemovingHeadMiddleAndStrangers) {
    CommandSession* a = linked();
    CommandSession* b = linked();
    CommandSession* c = linked();
    EXPECT_EQ(session_count(), 3u);
    session_remove(b);
    forget(b);
    EXPECT_EQ(session_count(), 2u);
    EXPECT_EQ(session_ref_by_id(a->session_id).get(), a);
    EXPECT_EQ(session_ref_by_id(c->session_id).get(), c);
    EXPECT_EQ(a->next, c);  // order of the others kept

    // A record that is not in the list is left alone.
    CommandSession* stranger = session_create(-1, addressOf("10.0.0.2"), 1);
    session_remove(stranger);
    EXPECT_EQ(session_count(), 2u);
    session_destroy_unlinked(stranger);
    session_remove(nullptr);

    session_remove(a);
    forget(a);
    session_remove(c);
    forget(c);
    EXPECT_EQ(session_count(), 0u);
}

TEST_F(ListFixture, LookupsTakeTheNewestAndProbesNeedALogin) {
    CommandSession* older = linked("10.2.2.2");
    CommandSession* newer = linked("10.2.2.2");
    newer->session_id = older->session_id;  // ids clash only by mistake; the newest wins
    EXPECT_EQ(session_ref_by_id(older->session_id).get(), newer);
    EXPECT_FALSE(session_ref_by_id(0));
    EXPECT_FALSE(session_address_may_probe(inet_addr("10.2.2.2")));
    older->loggedIn = 1;
    EXPECT_TRUE(session_address_may_probe(inet_addr("10.2.2.2")));
    EXPECT_FALSE(session_address_may_probe(inet_addr("10.3.3.3")));
}

// A reference taken by a look-up keeps the record after its removal; the
// last one dropped releases it (ASan sees a use after free otherwise).
TEST_F(ListFixture, AReferenceOutlivesTheRemoval) {
    CommandSession* a = linked();
    const uint32_t records = session_records();
    a->sock = 77;
    SessionRef ref = session_ref_by_socket(77);
    ASSERT_EQ(ref.get(), a);
    a->sock = -1;
    session_remove(a);
    forget(a);
    EXPECT_EQ(session_count(), 0u);
    EXPECT_EQ(session_records(), records);
    EXPECT_EQ(session_write_on(ref.get(), 77, "x", 1), -1);  // its connection is gone
    ref.reset();
    EXPECT_EQ(session_records(), records - 1);
}

TEST_F(ListFixture, OneSessionIsEndedOnce) {
    CommandSession* a = linked();
    EXPECT_TRUE(session_claim(a, SESSION_ENDED_BY_SELF));
    EXPECT_FALSE(session_claim(a, SESSION_ENDED_BY_STOP));
    CommandSession* b = linked();
    auto claimed = session_claim_all_for_stop();
    ASSERT_EQ(claimed.size(), 1u);  // a belongs to its own thread already
    EXPECT_EQ(claimed[0], b);
    EXPECT_FALSE(session_claim(b, SESSION_ENDED_BY_SELF));
}

TEST_F(ListFixture, NothingLinksWhileStopping) {
    CommandSession* first = linked();
    session_claim_all_for_stop();
    CommandSession* late = session_create(-1, addressOf("10.0.0.3"), 1);
    EXPECT_FALSE(session_link(late));
    session_destroy_unlinked(late);
    session_remove(first);  // what the stop does before a new start
    forget(first);
    session_list_reset();
    CommandSession* fresh = session_create(-1, addressOf("10.0.0.3"), 1);
    EXPECT_TRUE(session_link(fresh));
    made.push_back(fresh);
}
