// Feeds arbitrary bytes to the HTML stream parser in two pieces, split where
// the first input byte says, and walks the tree it built.
#include <stddef.h>
#include <stdint.h>

#include "hstream.h"

static int depth_of(htmlstream_node *node, int depth) {
    int deepest = depth;
    for (htmlstream_node *n = node; n; n = n->next) {
        if (n->first_child) {
            int d = depth_of(n->first_child, depth + 1);
            if (d > deepest) deepest = d;
        }
    }
    return deepest;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    size_t split = data[0] % size;
    HTMLStream stream;
    stream.Add((const char *)data + 1, (long long)(split > 0 ? split - 1 : 0));
    stream.Add((const char *)data + (split > 0 ? split : 1), (long long)(size - (split > 0 ? split : 1)));
    stream.Add(nullptr, 0);
    if (depth_of(stream.root, 0) > 100) __builtin_trap();
    return 0;
}
