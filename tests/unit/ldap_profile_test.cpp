#include <gtest/gtest.h>

#include <pthread.h>
#include <stdlib.h>

#include <string>

#include "connection.h"
#include "dncache.h"
#include "filebuf.h"
#include "global.h"
#include "ldap_profile.h"

namespace {

TEST(LdapFilter, EscapesFilterCharacters) {
    struct {
        std::string in, out;
    } cases[] = {
        {"alice", "alice"},
        {"al*", "al\\2a"},
        {"a)(uid=*", "a\\29\\28uid=\\2a"},
        {"back\\slash", "back\\5cslash"},
        {std::string("nul\0x", 5), "nul\\00x"},
        {"", ""},
    };
    for (auto &c : cases) EXPECT_EQ(ldap_filter_escape(c.in), c.out) << c.out;
}

TEST(DnCache, NamesIgnoreCaseWithinABucketAndReplace) {
    DN_CACHE_TABLE *t = dn_cache_create(1);
    dn_cache_insert(t, "Alice", "cn=a", "uid=alice");
    ASSERT_TRUE(dn_cache_search(t, "alice"));
    EXPECT_STREQ(dn_cache_search(t, "ALICE")->dn, "uid=alice");
    dn_cache_purge(t, "alice");
    EXPECT_FALSE(dn_cache_search(t, "Alice"));
    dn_cache_destroy(t);
    // 8111 per character in place of the cache size
    EXPECT_EQ(dn_cache_key(1000, "a"), (int)((20u * 'a' + ('a' >> 2) + ('a' >> 4) + 8111u) % 1000u));
    EXPECT_EQ(dn_cache_key(7, ""), 0);
}

TEST(DnCache, FullTableDropsTheOldestFirst) {
    DN_CACHE_TABLE *t = dn_cache_create(2);
    size_t limit = 2 * DN_CACHE_PER_BUCKET;
    for (size_t i = 0; i < limit + 10; i++) {
        std::string name = "user" + std::to_string(i);
        dn_cache_purge(t, name.c_str());
        dn_cache_insert(t, name.c_str(), DN_CACHE_NOT_FOUND, "");
    }
    EXPECT_EQ(t->entries, limit);
    for (size_t i = 0; i < 10; i++) EXPECT_FALSE(dn_cache_search(t, ("user" + std::to_string(i)).c_str())) << i;
    EXPECT_TRUE(dn_cache_search(t, "user10"));
    EXPECT_TRUE(dn_cache_search(t, ("user" + std::to_string(limit + 9)).c_str()));
    // replacing an entry neither loses nor doubles the count
    dn_cache_purge(t, "user10");
    dn_cache_insert(t, "user10", "cn=x", "uid=x");
    EXPECT_EQ(t->entries, limit);
    dn_cache_destroy(t);
}

TEST(DnCache, UnknownUsersExpire) {
    DN_CACHE_TABLE *t = dn_cache_create(4);
    dn_cache_insert(t, "ghost", DN_CACHE_NOT_FOUND, "");
    dn_cache_insert(t, "alice", "cn=a", "uid=alice");
    time_t now = time(nullptr);
    dn_cache_expire_unknown(t, now, 600);
    EXPECT_EQ(t->entries, 2u);
    dn_cache_expire_unknown(t, now + 601, 600);
    EXPECT_FALSE(dn_cache_search(t, "ghost"));
    EXPECT_TRUE(dn_cache_search(t, "alice"));
    EXPECT_EQ(t->entries, 1u);
    dn_cache_destroy(t);
}

class LdapPage : public ::testing::Test {
protected:
    void SetUp() override {
        if (!global) {
            global = new GLOBAL_T();
            pthread_rwlock_init(&global->dn_cache_lock, nullptr);
        }
        global->dn_cache = dn_cache_create(8);
    }
    void TearDown() override {
        dn_cache_destroy(global->dn_cache);
        global->dn_cache = nullptr;
    }
    std::string page(const std::map<std::string, std::string> &form) {
        Filebuf buffer;
        ldap_page(&buffer, form);
        return std::string(buffer.data ? buffer.data : "", (size_t)buffer.size);
    }
};

TEST_F(LdapPage, ListsTheCacheEscaped) {
    update_dn_cache("<b>eve", "cn=x&y,dc=test", "cn=x&y,dc=test");
    update_dn_cache("alice", "uid=alice,dc=test", "uid=alice,dc=test");
    std::string form = page({});
    EXPECT_NE(form.find("name=\"upn\""), std::string::npos);
    EXPECT_EQ(form.find("User Name"), std::string::npos);  // no list without show=yes

    std::string all = page({{"show", "yes"}});
    EXPECT_NE(all.find("&lt;b&gt;eve"), std::string::npos) << all;
    EXPECT_NE(all.find("cn=x&amp;y,dc=test"), std::string::npos);
    EXPECT_EQ(all.find("<b>eve"), std::string::npos);
    EXPECT_NE(all.find("<tr class=\"listeven\">"), std::string::npos);
    EXPECT_NE(all.find("<tr class=\"listodd\">"), std::string::npos);
}

TEST_F(LdapPage, LooksUpEachNameInItsOwnTable) {
    update_dn_cache("alice", "uid=alice,dc=test", "uid=alice,dc=test");
    std::string two = page({{"upn", "alice,<nobody>"}});
    EXPECT_NE(two.find("<td width=\"25%\">alice</td><td>uid=alice,dc=test</td>"), std::string::npos) << two;
    EXPECT_NE(two.find("&lt;nobody&gt;</td><td>User not found!</td>"), std::string::npos) << two;
    size_t tables = 0;
    for (size_t at = two.find("<tr><td><table class=\"list\">"); at != std::string::npos;
         at = two.find("<tr><td><table class=\"list\">", at + 1))
        tables++;
    EXPECT_EQ(tables, 2u);
}

TEST_F(LdapPage, NoDirectoryNoGroups) {
    CONNECTION_T *c = connection_new();
    c->groups.push_back("stale");
    EXPECT_EQ(set_connection_dn("alice", c), -1);
    EXPECT_TRUE(c->groups.empty());
    EXPECT_EQ(auth_ldap("alice", "pw", c), 1);
    connection_free(c);
}

}  // namespace
