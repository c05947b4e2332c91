// HTMLStream: incremental, tolerant HTML parser. Response bodies are fed in
// pieces as they arrive; the parser builds a simple tree of tag and text
// nodes and calls the callback registered for a tag's name as soon as that
// opening tag is complete. It never rejects input and does not decode
// entities. Feeding the same bytes in any pieces gives the same tree and the
// same callbacks.
//
// Tree shape: new nodes are chained one after the other. A closing tag moves
// the matching opening tag and everything after it under the node just
// before that tag, as its children, when that node has none yet. Nesting is
// bounded: a closing tag whose back search passes depth HTMLSTREAM_MAX_DEPTH
// is ignored with a warning.
#ifndef KORVANTEL_HSTREAM_H
#define KORVANTEL_HSTREAM_H

#include <stddef.h>

class Filebuf;
class HTMLStream;
struct HASH_TABLE;

#define HTMLSTREAM_MAX_DEPTH 64

struct htmlstream_attribute {
    htmlstream_attribute *next;
    char *name;
    char *value;
};

struct htmlstream_tag {
    char *name;                        // as written, case kept
    htmlstream_attribute *attributes;  // in order of appearance
};

struct htmlstream_node {
    htmlstream_node *parent;    // set on a first child only
    htmlstream_node *previous;  // null for the first node of a chain
    htmlstream_node *next;
    htmlstream_node *first_child;
    int depth;             // nesting depth recorded when children were attached
    char *text;            // text node: its text (NUL-terminated); null for a tag node
    htmlstream_tag *tag;   // tag node: the parsed tag; null for a text node
    size_t text_length;    // bytes in text, without the NUL
    size_t text_capacity;  // bytes allocated for text
};

// Called with the stream, the new tag node and the registered data. The
// result is not used.
typedef int (*htmlstream_callback)(HTMLStream *stream, htmlstream_node *node, void *data);

class HTMLStream {
public:
    HASH_TABLE *callbacks;     // tag name -> HTMLSTREAM_CALLBACK; null until the first registration
    htmlstream_node *current;  // node last added or closed to
    long long position;        // index of the last '<' or '>' handled
    int in_comment;            // 1 inside "<!--"
    Filebuf *buffer;           // all input received so far
    htmlstream_node *root;     // first node

    HTMLStream();
    ~HTMLStream();
    HTMLStream(const HTMLStream &) = delete;
    HTMLStream &operator=(const HTMLStream &) = delete;

    // Appends input and parses as far as it can; Add(nullptr, 0) marks the
    // end of input and parses the rest. Returns 1.
    int Add(const char *bytes, long long length);
    // Registers a callback for a tag name (matched as the hash table matches
    // keys). 1 when registered, 0 when that name already has one.
    int Callback(const char *name, htmlstream_callback function, void *data);

private:
    long long scan;        // next byte to examine
    long long text_start;  // first byte of the text not yet turned into a node
    bool tag_open;         // position holds a '<' that a '>' may close
    bool nesting_warned;   // nesting warning already logged in this Add call

    void text_add(long long end);
    void node_attach(htmlstream_node *node);
    void tag_close(const char *name, size_t length);
};

// Entry of HTMLStream::callbacks.
struct HTMLSTREAM_CALLBACK {
    htmlstream_callback function;
    void *data;
};

// Parses one tag from its '<' to its '>' (length bytes; the '>' may be
// missing). Null when it has no name.
htmlstream_tag *htmlstream_tag_parse(const char *text, size_t length);
void htmlstream_tag_free(htmlstream_tag *tag);
// Frees a node, its children and every node after it in its chain.
void htmlstream_tree_free(htmlstream_node *node);

#endif
