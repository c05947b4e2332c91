// The web interface's login token.
#include <time.h>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "interface.h"

TEST(InterfaceLogin, TokenHoldsTheLoginAndItsExpiry) {
    const time_t now = 1800000000;
    std::string token = interface_login_token("admin", "secret", now + 3600);
    EXPECT_FALSE(token.empty());
    EXPECT_EQ(token.find_first_of(";, =\"\\"), std::string::npos) << token;
    struct Case {
        const char *user, *password;
        std::string token;
        time_t at;
        bool valid;
    } cases[] = {
        {"admin", "secret", token, now, true},
        {"admin", "secret", token, now + 3600, true},
        {"admin", "secret", token, now + 3601, false},  // replayed after it expired
        {"admin", "secreT", token, now, false},         // the password changed
        {"admi", "nsecret", token, now, false},
        {"admin", "secret", "", now, false},
        {"admin", "secret", "x" + token.substr(1), now, false},  // forged
        {"admin", "secret", token.substr(0, 12), now, false},
        {"admin", "secret", token + token, now, false},
        {"admin", "secret", "%00%00%00%00", now, false},
    };
    for (const Case &c : cases)
        EXPECT_EQ(interface_login_valid(c.user, c.password, c.token, c.at), c.valid)
            << c.user << ":" << c.password << " " << c.token << " at " << c.at;
}

// Two logins at once must not corrupt each other's key schedule.
TEST(InterfaceLogin, ConcurrentTokensAreStable) {
    const std::vector<std::pair<std::string, std::string>> users = {
        {"alice", "one"}, {"bob", "two-longer-password"}, {"carol", "3"}, {"dave", "four four"}};
    std::vector<std::string> expected;
    for (const auto &u : users) expected.push_back(interface_login_token(u.first, u.second, 2000000000));
    std::vector<int> wrong(users.size(), 0);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < users.size(); i++)
        threads.emplace_back([&, i] {
            for (int n = 0; n < 300; n++) {
                if (interface_login_token(users[i].first, users[i].second, 2000000000) != expected[i]) wrong[i]++;
                if (!interface_login_valid(users[i].first, users[i].second, expected[i], 1900000000)) wrong[i]++;
            }
        });
    for (std::thread &t : threads) t.join();
    for (size_t i = 0; i < users.size(); i++) EXPECT_EQ(wrong[i], 0) << users[i].first;
}
