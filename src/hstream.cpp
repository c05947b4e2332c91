// Incremental HTML parser.
#include "hstream.h"

#include <string.h>
#include <strings.h>

#include <string>

#include "filebuf.h"
#include "hash.h"
#include "log.h"
#include "mem.h"

namespace {

const char HSTREAM_FILE[] = "src/hstream";

// A closing tag looks back at most this many nodes for its opening tag.
// Without a bound, a long run of siblings followed by many unmatched closing
// tags makes the parse quadratic; past the bound the closing tag is treated
// as unmatched, which leaves the tree as it is.
const int HTMLSTREAM_MAX_WALK = 1024;

char *copy_or_die(const char *text, size_t length, const char *function) {
    char *copy = xstrndup(text, length);
    if (!copy) fatal_alloc(HSTREAM_FILE, __LINE__, function, length + 1);
    return copy;
}

// Text that holds something besides blanks and control characters. Bytes of
// 128 and above count as visible: they are parts of non-ASCII characters.
bool has_visible(const char *text, size_t length) {
    for (size_t i = 0; i < length; i++) {
        unsigned char c = (unsigned char)text[i];
        if (c > ' ' && c != 0x7f) return true;
    }
    return false;
}

htmlstream_node *node_new() {
    htmlstream_node *node = (htmlstream_node *)xmalloc(sizeof(htmlstream_node));
    if (!node) fatal_alloc(HSTREAM_FILE, __LINE__, __func__, sizeof(htmlstream_node));
    return node;  // zero-filled
}

void text_append(htmlstream_node *node, const char *text, size_t length) {
    size_t needed = node->text_length + length + 1;
    if (needed > node->text_capacity) {
        size_t capacity = node->text_capacity ? node->text_capacity : 64;
        while (capacity < needed) capacity *= 2;
        char *grown = (char *)xrealloc(node->text, capacity);
        if (!grown) fatal_alloc(HSTREAM_FILE, __LINE__, __func__, capacity);
        node->text = grown;
        node->text_capacity = capacity;
    }
    memcpy(node->text + node->text_length, text, length);
    node->text_length += length;
    node->text[node->text_length] = '\0';
}

}  // namespace

HTMLStream::HTMLStream()
    : callbacks(nullptr),
      current(nullptr),
      position(0),
      in_comment(0),
      buffer(new Filebuf()),
      root(nullptr),
      scan(0),
      text_start(0),
      tag_open(false),
      nesting_warned(false) {}

HTMLStream::~HTMLStream() {
    if (callbacks) hash_destroy(callbacks);
    htmlstream_tree_free(root);
    delete buffer;
}

int HTMLStream::Callback(const char *name, htmlstream_callback function, void *data) {
    if (!name) return 0;
    if (!callbacks) callbacks = hash_create(16);
    if (hash_search(callbacks, name)) return 0;
    HTMLSTREAM_CALLBACK *entry = (HTMLSTREAM_CALLBACK *)xmalloc(sizeof(HTMLSTREAM_CALLBACK));
    if (!entry) fatal_alloc(HSTREAM_FILE, __LINE__, __func__, sizeof(HTMLSTREAM_CALLBACK));
    entry->function = function;
    entry->data = data;
    hash_insert(callbacks, name, entry);
    return 1;
}

void HTMLStream::node_attach(htmlstream_node *node) {
    if (!root) {
        root = node;
    } else {
        // current is always the last node of its chain
        current->next = node;
        node->previous = current;
    }
    current = node;
    if (node->tag && callbacks) {
        HASH_ENTRY *entry = hash_search(callbacks, node->tag->name);
        if (entry) {
            HTMLSTREAM_CALLBACK *callback = (HTMLSTREAM_CALLBACK *)entry->data;
            if (callback->function) callback->function(this, node, callback->data);
        }
    }
}

// Turns the pending text [text_start, end) into text, unless it is blank.
void HTMLStream::text_add(long long end) {
    if (end <= text_start) return;
    const char *text = buffer->data + text_start;
    size_t length = (size_t)(end - text_start);
    if (!has_visible(text, length)) return;
    if (current && current->text) {
        text_append(current, text, length);
        return;
    }
    htmlstream_node *node = node_new();
    text_append(node, text, length);
    node_attach(node);
}

void HTMLStream::tag_close(const char *name, size_t length) {
    int seen = 0;
    int steps = 0;
    htmlstream_node *match = current;
    while (match) {
        if (match->depth > seen) seen = match->depth;
        if (seen > HTMLSTREAM_MAX_DEPTH) {
            if (!nesting_warned) {
                putlog(LOG_WARNING, "HTML nesting limit %d reached", HTMLSTREAM_MAX_DEPTH);
                nesting_warned = true;
            }
            return;
        }
        // The whole name must match: a prefix compare would let </b> close <body>.
        if (match->tag && strlen(match->tag->name) == length && strncasecmp(match->tag->name, name, length) == 0) break;
        if (++steps >= HTMLSTREAM_MAX_WALK) return;
        match = match->previous;
    }
    if (!match) return;
    htmlstream_node *before = match->previous;
    if (!before || before->first_child) return;
    before->first_child = match;
    match->parent = before;
    match->previous = nullptr;
    before->next = nullptr;
    before->depth = seen + 1;
    current = before;
}

int HTMLStream::Add(const char *bytes, long long length) {
    bool final = bytes == nullptr;
    if (!final && length > 0) buffer->Add(bytes, length);
    nesting_warned = false;
    const long long size = buffer->size;
    while (scan < size) {
        const char *data = buffer->data;
        char c = data[scan];
        if (in_comment) {
            if (c == '>' && scan > 0 && data[scan - 1] == '-') in_comment = 0;
            scan++;
            continue;
        }
        if (c == '<') {
            if (!final) {
                // "<!--" needs the bytes after '<'; wait for them
                if (size - scan - 1 < 4) break;
                if (memcmp(data + scan, "<!--", 4) == 0) {
                    // the comment's bytes stay part of the surrounding text
                    in_comment = 1;
                    scan++;
                    continue;
                }
            }
            text_add(scan);
            position = scan;
            // a '<' that never becomes a tag stays in the text
            text_start = scan;
            tag_open = true;
            scan++;
            continue;
        }
        if (c == '>' && tag_open) {
            const char *tag = data + position;
            size_t tag_length = (size_t)(scan - position + 1);
            if (tag_length > 3 && tag[1] == '/') {
                tag_close(tag + 2, tag_length - 3);
            } else {
                htmlstream_tag *parsed = htmlstream_tag_parse(tag, tag_length);
                if (parsed) {
                    htmlstream_node *node = node_new();
                    node->tag = parsed;
                    node_attach(node);
                }
            }
            position = scan;
            text_start = scan + 1;
            tag_open = false;
        }
        scan++;
    }
    if (final) {
        text_add(size);
        text_start = size;
        if (size > 0) position = size - 1;
        tag_open = false;
    }
    return 1;
}

htmlstream_tag *htmlstream_tag_parse(const char *text, size_t length) {
    if (!text || length <= 1) return nullptr;
    size_t end = length;
    if (text[end - 1] == '>') end--;

    std::string name;
    bool have_name = false;
    std::string token;
    bool have_token = false;  // a quoted empty token counts
    bool quoted = false;
    std::string pending;  // attribute name waiting for its value
    bool have_pending = false;
    htmlstream_tag *tag = nullptr;
    htmlstream_attribute **tail = nullptr;

    auto finish = [&]() {
        if (!have_token) return;
        if (!have_name) {
            name = token;
            have_name = true;
        } else if (!have_pending) {
            pending = token;
            have_pending = true;
        } else if (tag) {
            htmlstream_attribute *attribute = (htmlstream_attribute *)xmalloc(sizeof(htmlstream_attribute));
            if (!attribute) fatal_alloc(HSTREAM_FILE, __LINE__, "htmlstream_tag_parse", sizeof(htmlstream_attribute));
            attribute->name = copy_or_die(pending.data(), pending.size(), "htmlstream_tag_parse");
            attribute->value = copy_or_die(token.data(), token.size(), "htmlstream_tag_parse");
            *tail = attribute;
            tail = &attribute->next;
            have_pending = false;
        }
        token.clear();
        have_token = false;
    };

    for (size_t i = 1; i <= end; i++) {
        if (i < end) {
            char c = text[i];
            if (c == '"') {
                quoted = !quoted;
                have_token = true;
                continue;
            }
            if (quoted || (c != ' ' && c != '=' && c != '>')) {
                token += c;
                have_token = true;
                continue;
            }
        }
        finish();
        // the tag exists once it has a name; attributes hang from it
        if (have_name && !tag) {
            if (name.empty() || name.find('\0') == 0) return nullptr;
            tag = (htmlstream_tag *)xmalloc(sizeof(htmlstream_tag));
            if (!tag) fatal_alloc(HSTREAM_FILE, __LINE__, __func__, sizeof(htmlstream_tag));
            tag->name = copy_or_die(name.data(), name.size(), __func__);
            tail = &tag->attributes;
        }
    }
    return tag;
}

void htmlstream_tag_free(htmlstream_tag *tag) {
    if (!tag) return;
    htmlstream_attribute *attribute = tag->attributes;
    while (attribute) {
        htmlstream_attribute *next = attribute->next;
        free(attribute->name);
        free(attribute->value);
        free(attribute);
        attribute = next;
    }
    free(tag->name);
    free(tag);
}

void htmlstream_tree_free(htmlstream_node *node) {
    // Chains can be long, so they are walked in a loop; children recurse,
    // and their nesting is bounded by the depth limit.
    while (node) {
        htmlstream_node *next = node->next;
        htmlstream_tree_free(node->first_child);
        htmlstream_tag_free(node->tag);
        free(node->text);
        free(node);
        node = next;
    }
}
