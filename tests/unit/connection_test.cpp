#include "connection.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <new>

#include <gtest/gtest.h>

#include "atom.h"
#include "mem.h"
#include "perflog.h"
#include "socket.h"
#include "stats.h"

namespace {

// Closes counted in the performance log since the test began.
uint64_t closed_before = 0;
int closed_counted() { return (int)(performance_log->get_connections_closed() - closed_before); }

// The deletion of one watched object: whether it happened and whether
// atomlock was held at that moment. The program's allocation operators are
// replaced in this test binary to see it.
void *watched_object = nullptr;
bool watched_deleted = false;
bool lock_was_held = false;

void note_delete(void *p) {
    if (!p || p != watched_object) return;
    watched_deleted = true;
    lock_was_held = pthread_mutex_trylock(&atomlock) == EBUSY;
    if (!lock_was_held) pthread_mutex_unlock(&atomlock);
}

class ConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);
        closed_before = performance_log->get_connections_closed();
        watched_object = nullptr;
        watched_deleted = false;
        lock_was_held = false;
    }
    void TearDown() override { watched_object = nullptr; }
};

bool fd_open(int fd) { return fcntl(fd, F_GETFD) != -1; }

TEST_F(ConnectionTest, FreeReleasesOwnedTextsAndLists) {
    // Under the sanitizer build a leak of any owned field shows up here.
    CONNECTION_T *c = connection_new();
    char **texts[] = {&c->ip,
                      &c->interface_ip,
                      &c->user_name,
                      &c->ntlm_user,
                      &c->ntlm_challenge,
                      &c->ntlm_message1,
                      &c->ntlm_message3,
                      &c->ntlm_first,
                      &c->forward_host,
                      &c->forward_user,
                      &c->forward_password,
                      &c->forward_domain,
                      &c->proxy_authorization};
    for (char **text : texts) *text = xstrdup("value");
    c->profiles.push_back("staff");
    c->groups.push_back("admins");
    c->variables["CLIENTID"] = "7";
    c->interface_user = "admin";
    connection_free(c);
    connection_free(nullptr);
}

TEST_F(ConnectionTest, FreeLeavesSocketsOpen) {
    int client_pair[2], server_pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, client_pair), 0);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, server_pair), 0);
    CONNECTION_T *c = connection_new();
    Socket *client = new Socket(client_pair[0]);
    Socket *server = new Socket(server_pair[0]);
    c->client = client;
    c->server = server;
    connection_free(c);
    EXPECT_TRUE(fd_open(client_pair[0]));
    EXPECT_TRUE(fd_open(server_pair[0]));
    EXPECT_EQ(write(client_pair[0], "x", 1), 1);
    delete client;
    delete server;
    close(client_pair[1]);
    close(server_pair[1]);
}

TEST_F(ConnectionTest, CloseOfNullOnlyCounts) {
    net_close(nullptr);
    EXPECT_EQ(closed_counted(), 1);
}

TEST_F(ConnectionTest, CloseDeletesClientSocket) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    CONNECTION_T *c = connection_new();
    c->client = new Socket(pair[0]);
    c->ip = xstrdup("127.0.0.1");
    c->client->Write("bye", 3);
    net_close(c);
    EXPECT_EQ(closed_counted(), 1);
    char buffer[8];
    EXPECT_EQ(read(pair[1], buffer, sizeof buffer), 3);
    EXPECT_EQ(read(pair[1], buffer, sizeof buffer), 0);  // closed
    close(pair[1]);
}

TEST_F(ConnectionTest, SharedStatsLiveUntilLastHolderIsFreed) {
    Stats *shared = userstats_init();  // the rule's own reference
    watched_object = shared;
    CONNECTION_T *a = connection_new();
    CONNECTION_T *b = connection_new();
    pthread_mutex_lock(&atomlock);
    a->userstats = static_cast<Stats *>(shared->New());
    b->userstats = static_cast<Stats *>(shared->New());
    pthread_mutex_unlock(&atomlock);
    connection_free(a);
    EXPECT_EQ(shared->count, 2);
    connection_free(b);
    EXPECT_EQ(shared->count, 1);
    EXPECT_FALSE(watched_deleted);
    // The rule lets go last.
    pthread_mutex_lock(&atomlock);
    stats_release(shared);
    pthread_mutex_unlock(&atomlock);
    EXPECT_TRUE(watched_deleted);
}

TEST_F(ConnectionTest, LastHolderReleasesStatsUnderTheLock) {
    Stats *only = userstats_init();
    watched_object = only;
    CONNECTION_T *c = connection_new();
    c->userstats = only;
    connection_free(c);
    EXPECT_TRUE(watched_deleted);
    EXPECT_TRUE(lock_was_held);
}

}  // namespace

// Plain malloc and free underneath, so the watch above sees every deletion.
void *operator new(size_t size) {
    void *p = malloc(size ? size : 1);
    if (!p) throw std::bad_alloc();
    return p;
}
void *operator new(size_t size, const std::nothrow_t &) noexcept { return malloc(size ? size : 1); }
void operator delete(void *p) noexcept {
    note_delete(p);
    free(p);
}
void operator delete(void *p, size_t) noexcept {
    note_delete(p);
    free(p);
}
void operator delete(void *p, const std::nothrow_t &) noexcept {
    note_delete(p);
    free(p);
}
