// Processor registry: typed callbacks that the request path runs stage by
// stage. Sections register theirs in their constructors, modules when they
// load; the request driver and protocol handlers run a stage with Execute.
#ifndef KORVANTEL_PROCESSORS_H
#define KORVANTEL_PROCESSORS_H

#include <atomic>
#include <mutex>

struct CONNECTION_T;
class Filebuf;

enum {
    PROCESSOR_REQCHECK = 0,    // request checks before the cache look-up; no buffer
    PROCESSOR_REQMOD = 1,      // request modification; the request body
    PROCESSOR_RESPCHECK = 2,   // buffered response body check; the body
    PROCESSOR_RESPMOD = 3,     // buffered response body modification; the body
    PROCESSOR_BUFFCHECK = 4,   // must the response be buffered (1 = yes); no buffer
    PROCESSOR_REQHEADER = 5,   // raw request header text
    PROCESSOR_RESPHEADER = 6,  // raw response header text
    PROCESSOR_AUTH = 7,        // authentication; the request body
};

// Ordered list of {type, callback}, each callback at most once. Readers walk
// it without a lock while a writer may append: a node is published only when
// complete, and removed nodes stay allocated (still linked onwards) until the
// registry itself goes, so a walk in progress never touches freed memory.
template <typename CALLBACK>
class CallbackRegistry {
public:
    struct Node {
        int type;
        CALLBACK callback;
        std::atomic<Node *> next;
        Node *retired;  // chain of removed nodes
    };

    constexpr CallbackRegistry() : head_(nullptr), retired_(nullptr) {}
    ~CallbackRegistry() {
        free_chain(head_.load(std::memory_order_relaxed));
        while (retired_) {
            Node *node = retired_;
            retired_ = node->retired;
            delete node;
        }
    }
    CallbackRegistry(const CallbackRegistry &) = delete;
    CallbackRegistry &operator=(const CallbackRegistry &) = delete;

    // 0 when the callback is already registered under any type; else appends
    // it and returns 1.
    int Add(CALLBACK callback, int type) {
        std::lock_guard<std::mutex> guard(lock_);
        std::atomic<Node *> *link = &head_;
        for (Node *node = link->load(std::memory_order_relaxed); node; node = link->load(std::memory_order_relaxed)) {
            if (node->callback == callback) return 0;
            link = &node->next;
        }
        Node *node = new Node;
        node->type = type;
        node->callback = callback;
        node->next.store(nullptr, std::memory_order_relaxed);
        node->retired = nullptr;
        link->store(node, std::memory_order_release);
        return 1;
    }

    // Unlinks the entry of the callback: 1, or 0 when there is none.
    int Remove(CALLBACK callback) {
        std::lock_guard<std::mutex> guard(lock_);
        std::atomic<Node *> *link = &head_;
        for (Node *node = link->load(std::memory_order_relaxed); node; node = link->load(std::memory_order_relaxed)) {
            if (node->callback == callback) {
                link->store(node->next.load(std::memory_order_relaxed), std::memory_order_release);
                node->retired = retired_;
                retired_ = node;
                return 1;
            }
            link = &node->next;
        }
        return 0;
    }

    // Runs the callbacks of the type in order; with stop_at_one, stops after
    // the first one returning exactly 1. Result of the last run, 0 if none.
    template <typename... ARGS>
    int Run(int type, bool stop_at_one, ARGS... args) const {
        int result = 0;
        for (Node *node = head_.load(std::memory_order_acquire); node;
             node = node->next.load(std::memory_order_acquire)) {
            if (node->type != type) continue;
            result = node->callback(args...);
            if (stop_at_one && result == 1) break;
        }
        return result;
    }

private:
    static void free_chain(Node *node) {
        while (node) {
            Node *next = node->next.load(std::memory_order_relaxed);
            delete node;
            node = next;
        }
    }

    std::atomic<Node *> head_;
    Node *retired_;
    std::mutex lock_;
};

typedef int (*PROCESSOR_CALLBACK)(CONNECTION_T *connection, Filebuf *buffer);

class Processors {
public:
    // 0 when the callback is already registered (for any stage); else
    // appends it for the stage and returns 1.
    int Add(PROCESSOR_CALLBACK callback, int stage);
    // Removes the callback's entry: 1, or 0 when it has none.
    int Remove(PROCESSOR_CALLBACK callback);
    // Runs the stage's callbacks in registration order. REQCHECK, REQMOD,
    // RESPCHECK, BUFFCHECK and AUTH stop after the first result of exactly 1;
    // the other stages run them all. Returns the last result, 0 if none ran.
    int Execute(int stage, CONNECTION_T *connection, Filebuf *buffer);

private:
    CallbackRegistry<PROCESSOR_CALLBACK> list_;
};

// The program-wide registry; never destroyed, since request threads may
// still walk it while the process exits.
extern Processors &processors;

#endif
