// The web interface's login token.
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "interface.h"

TEST(InterfaceLogin, TokenDependsOnUserAndPasswordAndIsUrlSafe) {
    std::string token = interface_login_token("admin", "secret");
    EXPECT_FALSE(token.empty());
    EXPECT_EQ(token, interface_login_token("admin", "secret"));
    EXPECT_NE(token, interface_login_token("admin", "secreT"));
    EXPECT_NE(token, interface_login_token("admi", "nsecret"));
    EXPECT_EQ(token.find_first_of(";, =\"%"), std::string::npos) << token;
}

// Two logins at once must not corrupt each other's key schedule.
TEST(InterfaceLogin, ConcurrentTokensAreStable) {
    const std::vector<std::pair<std::string, std::string>> users = {
        {"alice", "one"}, {"bob", "two-longer-password"}, {"carol", "3"}, {"dave", "four four"}};
    std::vector<std::string> expected;
    for (const auto &u : users) expected.push_back(interface_login_token(u.first, u.second));
    std::vector<int> wrong(users.size(), 0);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < users.size(); i++)
        threads.emplace_back([&, i] {
            for (int n = 0; n < 300; n++)
                if (interface_login_token(users[i].first, users[i].second) != expected[i]) wrong[i]++;
        });
    for (std::thread &t : threads) t.join();
    for (size_t i = 0; i < users.size(); i++) EXPECT_EQ(wrong[i], 0) << users[i].first;
}
