// A loopback HTTP origin server on its own thread, and the small socket
// helpers it needs, for tests that fetch through the proxy's own code.
#ifndef KORVANTEL_TEST_ORIGIN_FIXTURE_H
#define KORVANTEL_TEST_ORIGIN_FIXTURE_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace origintest {

// A loopback TCP port that was free a moment ago.
inline int free_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, (struct sockaddr *)&address, sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, (struct sockaddr *)&address, &length);
    close(fd);
    return ntohs(address.sin_port);
}

inline void write_all(int fd, const std::string &text) {
    size_t done = 0;
    for (int rounds = 0; rounds < 1000 && done < text.size(); rounds++) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n <= 0) break;
        done += (size_t)n;
    }
}

// The value of a header line of a head, or "".
inline std::string header_value(const std::string &head, const std::string &name) {
    std::string wanted = "\r\n" + name + ": ";
    size_t at = head.find(wanted);
    if (at == std::string::npos) return "";
    at += wanted.size();
    return head.substr(at, head.find("\r\n", at) - at);
}

// A loopback HTTP server on its own thread. Every head it reads (with its
// Content-Length body) is recorded and answered by `answer`; an empty answer
// closes the connection. mode "echo" instead copies bytes back unread.
class Origin {
public:
    int port = 0;
    std::atomic<int> accepted{0};
    std::function<std::string(const std::string &head, int index)> answer;
    bool echo = false;

    Origin() {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        struct sockaddr_in address;
        memset(&address, 0, sizeof address);
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener_, (struct sockaddr *)&address, sizeof address);
        listen(listener_, 16);
        socklen_t length = sizeof address;
        getsockname(listener_, (struct sockaddr *)&address, &length);
        port = ntohs(address.sin_port);
        answer = [](const std::string &, int) { return std::string("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"); };
    }
    void start() {
        thread_ = std::thread([this] { run(); });
    }
    ~Origin() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        close(listener_);
    }
    std::vector<std::string> heads() {
        std::lock_guard<std::mutex> guard(mutex_);
        return heads_;
    }

private:
    int listener_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::string> heads_;

    void run() {
        std::vector<int> clients;
        std::vector<std::string> pending;
        while (!stop_) {
            std::vector<struct pollfd> fds;
            fds.push_back({listener_, POLLIN, 0});
            for (int fd : clients) fds.push_back({fd, POLLIN, 0});
            if (poll(fds.data(), fds.size(), 50) <= 0) continue;
            // fds[k + 1] belongs to polled[k]; the list changes below.
            std::vector<int> polled = clients;
            for (size_t k = 0; k < polled.size(); k++) {
                if (!(fds[k + 1].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                size_t i = 0;
                while (i < clients.size() && clients[i] != polled[k]) i++;
                if (i == clients.size()) continue;
                char buffer[4096];
                ssize_t n = read(clients[i], buffer, sizeof buffer);
                bool drop = n <= 0;
                if (!drop && echo) {
                    write_all(clients[i], std::string(buffer, (size_t)n));
                    continue;
                }
                if (!drop) pending[i].append(buffer, (size_t)n);
                for (int rounds = 0; rounds < 16 && !drop; rounds++) {
                    size_t end = pending[i].find("\r\n\r\n");
                    if (end == std::string::npos) break;
                    std::string head = pending[i].substr(0, end + 4);
                    size_t body = (size_t)atoll(header_value(head, "Content-Length").c_str());
                    if (pending[i].size() < end + 4 + body) break;
                    std::string whole = pending[i].substr(0, end + 4 + body);
                    pending[i].erase(0, end + 4 + body);
                    int index;
                    {
                        std::lock_guard<std::mutex> guard(mutex_);
                        heads_.push_back(whole);
                        index = (int)heads_.size() - 1;
                    }
                    std::string reply = answer(whole, index);
                    if (reply.empty()) drop = true;
                    else write_all(clients[i], reply);
                }
                if (drop) {
                    close(clients[i]);
                    clients.erase(clients.begin() + (long)i);
                    pending.erase(pending.begin() + (long)i);
                }
            }
            if (fds[0].revents & POLLIN) {
                int fd = accept(listener_, nullptr, nullptr);
                if (fd >= 0) {
                    clients.push_back(fd);
                    pending.push_back("");
                    accepted++;
                }
            }
        }
        for (int fd : clients) close(fd);
    }
};

}  // namespace origintest

#endif
