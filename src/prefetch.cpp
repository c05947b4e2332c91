#include "prefetch.h"

#include <ctype.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <time.h>

#include "cache.h"
#include "connection.h"
#include "forward.h"
#include "general.h"
#include "header.h"
#include "hstream.h"
#include "lockguard.h"
#include "log.h"
#include "mem.h"
#include "misc.h"
#include "profiles.h"
#include "proto_ftp.h"
#include "proto_http.h"
#include "protocol.h"
#include "regexp.h"
#include "socket.h"
#include "templates.h"
#include "threads.h"

#include <string>
#include <vector>

PrefetchSection *prefetch_section = nullptr;

#define PREFETCH_USER_AGENT "Mozilla/4.0 (compatible; MSIE 5.5; Windows 98; Win 9x 4.90)"

namespace {

const FIELD_BIND<PrefetchSection::Options> option_fields[] = {
    FIELD_BIND_OF(PrefetchSection::Options, 0, "enabled", FIELD_BOOL, enabled),
    FIELD_BIND_OF(PrefetchSection::Options, 1, "threads", FIELD_INT, threads),
    FIELD_BIND_OF(PrefetchSection::Options, 2, "queuesize", FIELD_INT, queuesize),
    FIELD_BIND_OF(PrefetchSection::Options, 3, "hostlimit", FIELD_INT, hostlimit),
};

const FIELD_BIND<PrefetchSection::Rule> rule_fields[] = {
    FIELD_BIND_OF(PrefetchSection::Rule, 0, "enabled", FIELD_BOOL, enabled),
    FIELD_BIND_OF(PrefetchSection::Rule, 1, "comment", FIELD_STRING, comment),
    FIELD_BIND_OF(PrefetchSection::Rule, 2, "profiles", FIELD_STRING_LIST, profiles),
    FIELD_BIND_OF(PrefetchSection::Rule, 3, "tag", FIELD_STRING, tag),
    FIELD_BIND_OF(PrefetchSection::Rule, 4, "attribute", FIELD_STRING, attribute),
    FIELD_BIND_OF(PrefetchSection::Rule, 5, "pattern", FIELD_STRING, pattern_text),
    FIELD_BIND_OF(PrefetchSection::Rule, 6, "size", FIELD_FILE_SIZE, size),
    FIELD_BIND_OF(PrefetchSection::Rule, 7, "depth", FIELD_INT, depth),
};

char *copy(const char *text) {
    if (!text) return nullptr;
    char *result = xstrdup(text);
    if (!result) fatal_alloc("src/prefetch", __LINE__, "queue_add", strlen(text) + 1);
    return result;
}

bool http_or_ftp(const char *scheme) {
    return scheme && (strcasecmp(scheme, "http") == 0 || strcasecmp(scheme, "ftp") == 0);
}

// The scheme of an absolute link: letters, digits, '+', '-', '.' before a
// ':' that comes before any '/', '?' or '#'.
std::string scheme_of(const char *value) {
    const char *p = value;
    if (!isalpha((unsigned char)*p)) return "";
    while (isalnum((unsigned char)*p) || *p == '+' || *p == '-' || *p == '.') p++;
    return *p == ':' ? std::string(value, (size_t)(p - value)) : "";
}

bool condition_holds(const StringList &profiles, CONNECTION_T *connection) {
    return profile_find(connection->profiles, profiles);
}

int prefetch_callback(HTMLStream *, htmlstream_node *node, void *data);

// "." and ".." segments resolved as a browser does, so a link names the
// same object the browser will ask for.
std::string dot_segments_removed(const std::string &path) {
    std::string query;
    std::string rest = path;
    size_t mark = rest.find('?');
    if (mark != std::string::npos) {
        query = rest.substr(mark);
        rest.erase(mark);
    }
    std::vector<std::string> out;
    size_t start = 1;
    bool trailing = false;
    while (start <= rest.size()) {
        size_t end = rest.find('/', start);
        std::string segment = rest.substr(start, end == std::string::npos ? std::string::npos : end - start);
        trailing = segment == "." || segment == "..";
        if (segment == "..") {
            if (!out.empty()) out.pop_back();
        } else if (segment != ".") {
            out.push_back(segment);
        }
        if (end == std::string::npos) break;
        start = end + 1;
    }
    std::string result;
    for (const std::string &segment : out) result += "/" + segment;
    if (result.empty() || trailing) result += "/";
    return result + query;
}

// Copies are made and the old texts freed outside threadlistlock, which
// every request takes: under it only pointers change.
void slot_set(int state, const char *url, const char *method, bool count) {
    int i = thread_find();
    char *fresh_ip = state == 4 ? xstrdup("0.0.0.0") : nullptr;
    char *fresh_url = url ? xstrdup(url) : nullptr;
    char *fresh_method = method ? xstrdup(method) : nullptr;
    char *old_ip, *old_url, *old_method;
    {
        MutexLock held(&threadlistlock);
        THREAD_T &slot = threads[i];
        slot.state = state;
        old_ip = slot.ip;
        slot.ip = fresh_ip;
        old_url = slot.url;
        slot.url = fresh_url;
        old_method = slot.method;
        slot.method = fresh_method;
        if (count) slot.requests++;
        slot.connection = nullptr;
    }
    free(old_ip);
    free(old_url);
    free(old_method);
}

void *prefetch_thread(void *) {
    for (;;) {
        PrefetchSection *section = prefetch_section;
        if (!section) return nullptr;
        PREFETCH_QUEUE *element = section->queue_take();
        if (!element) continue;
        thread_set_clientid(element->client_id);
        protocol_prefetch(element);
        prefetch_queue_free(element);
    }
}

}  // namespace

// ---- rules -------------------------------------------------------------------

PrefetchSection::Rule::Rule(const Rule &other)
    : enabled(other.enabled),
      comment(other.comment),
      profiles(other.profiles),
      tag(other.tag),
      attribute(other.attribute),
      pattern_text(other.pattern_text),
      size(other.size),
      depth(other.depth) {
    compile();
}

PrefetchSection::Rule &PrefetchSection::Rule::operator=(const Rule &other) {
    if (this == &other) return *this;
    enabled = other.enabled;
    comment = other.comment;
    profiles = other.profiles;
    tag = other.tag;
    attribute = other.attribute;
    pattern_text = other.pattern_text;
    size = other.size;
    depth = other.depth;
    compile();
    return *this;
}

PrefetchSection::Rule::~Rule() {
    if (pattern) reg_free(pattern);
}

void PrefetchSection::Rule::compile() {
    if (pattern) reg_free(pattern);
    pattern = pattern_text.empty() ? nullptr : reg_compile(pattern_text.c_str(), 1);
}

// ---- the section ------------------------------------------------------------

Section *prefetch_construct() {
    prefetch_section = new PrefetchSection();
    return prefetch_section;
}

PrefetchSection::PrefetchSection() : Section("prefetch", SECTION_MUTEX) {
    pthread_cond_init(&cond, nullptr);
    options_bind(option_fields, &opts);
    fields_declare(0, rule_fields);
    SectionMutexLock lock(this);
    update();
}

PrefetchSection::~PrefetchSection() {
    if (prefetch_section == this) prefetch_section = nullptr;
    while (head) {
        PREFETCH_QUEUE *next = head->next;
        prefetch_queue_free(head);
        head = next;
    }
    pthread_cond_destroy(&cond);
}

void PrefetchSection::update() {
    rules.clear();
    if (subsections.empty()) return;
    for (const Item &item : subsections[0].items) {
        Rule rule;
        fields_read(rule_fields, item.fields, &rule);
        rule.compile();
        rules.push_back(rule);
    }
}

int PrefetchSection::pattern_kind(size_t subsection, size_t position) const {
    return subsection == 0 && position == 5 ? PATTERN_MATCH : PATTERN_NONE;
}

void PrefetchSection::init_threads() {
    int count = atomic_read(opts.threads);
    for (int i = 0; i < count; i++)
        if (thread_create(prefetch_thread, nullptr) < 0) break;
}

void PrefetchSection::setup_callbacks(CONNECTION_T *connection) {
    HEADER *response = connection->response;
    if (!response || !response->content_type || strncasecmp(response->content_type, "text/html", 9) != 0) return;
    if (connection->flags & CONN_TLS_ACTIVE) return;
    SectionMutexLock lock(this);
    if (*opts.enabled) {
        for (const Rule &rule : rules) {
            if (!rule.enabled || rule.tag.empty() || rule.attribute.empty()) continue;
            if (!condition_holds(rule.profiles, connection)) continue;
            if (!connection->htmlstream) connection->htmlstream = new HTMLStream();
            connection->htmlstream->Callback(rule.tag.c_str(), prefetch_callback, connection);
        }
    }
}

void PrefetchSection::queue_add(URL *url, const std::vector<HTTP_HEADER> *headers, unsigned size_limit, int depth) {
    if (!url) return;
    char *text = url_create(url);
    bool cached = cache_section && cache_section->exists(text);
    free(text);
    enum { ADDED, QUEUE_FULL, CACHED, QUEUED_ALREADY, HOST_FULL } outcome = ADDED;
    int size, limit;
    {
        SectionMutexLock lock(this);
        size = *opts.queuesize;
        limit = *opts.hostlimit;
        if (length >= size) outcome = QUEUE_FULL;
        else if (cached) outcome = CACHED;
        int same_host = 0;
        for (PREFETCH_QUEUE *e = head; e && outcome == ADDED; e = e->next) {
            if (urlcmp(e->url, url)) outcome = QUEUED_ALREADY;
            else if (limit > 0 && e->url->host && url->host && strcasecmp(e->url->host, url->host) == 0 &&
                     ++same_host >= limit)
                outcome = HOST_FULL;
        }
        if (outcome == ADDED) {
            PREFETCH_QUEUE *element = new PREFETCH_QUEUE();
            element->client_id = thread_get_clientid();
            element->depth = depth;
            element->size_limit = size_limit;
            element->url = url;
            if (headers) element->headers = new std::vector<HTTP_HEADER>(*headers);
            if (tail) tail->next = element;
            else head = element;
            tail = element;
            length++;
            pthread_cond_signal(&cond);
        }
    }
    switch (outcome) {
        case ADDED: putlog(LOG_PREFETCH, "url added to queue"); return;
        case QUEUE_FULL:
            url_free(url);
            putlog(LOG_ADVICE,
                   "prefetch: max quesize: %d cannot add this request into prefetch queue, consider increasing the "
                   "queuesize",
                   size);
            return;
        case CACHED:
            url_free(url);
            putlog(LOG_DEBUG, "prefetch: url already cached");
            return;
        case QUEUED_ALREADY: url_free(url); return;
        case HOST_FULL:
            url_free(url);
            putlog(LOG_ADVICE,
                   "prefetch: max hostlimit: %d cannot add this request into prefetch queue, consider increasing "
                   "the hostlimit",
                   limit);
            return;
    }
}

std::vector<std::string> PrefetchSection::queued() {
    std::vector<std::string> urls;
    SectionMutexLock lock(this);
    for (PREFETCH_QUEUE *e = head; e; e = e->next) {
        char *text = url_create(e->url);
        urls.push_back(text);
        free(text);
    }
    return urls;
}

PREFETCH_QUEUE *PrefetchSection::queue_take() {
    SectionMutexLock lock(this);
    if (!head) {
        struct timespec deadline;
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_sec += 1;
        cond_timedwait(&cond, &deadline);
    }
    PREFETCH_QUEUE *element = head;
    if (element) {
        head = element->next;
        if (!head) tail = nullptr;
        length--;
        element->next = nullptr;
    }
    return element;
}

void prefetch_queue_free(PREFETCH_QUEUE *element) {
    if (!element) return;
    url_free(element->url);
    delete element->headers;
    delete element;
}

// ---- links -------------------------------------------------------------------

URL *prefetch_link(const char *value, const char *protocol, const char *host, int port, const char *path) {
    if (!value || !protocol || !host) return nullptr;
    while (*value == ' ' || *value == '\t' || *value == '\r' || *value == '\n') value++;
    if (!*value || *value == '#') return nullptr;
    std::string text;
    std::string scheme = scheme_of(value);
    if (!scheme.empty()) {
        if (!http_or_ftp(scheme.c_str()) || strncmp(value + scheme.size(), "://", 3) != 0) return nullptr;
        text = value;
    } else if (value[0] == '/' && value[1] == '/') {
        // Scheme-relative: the page's scheme.
        text = std::string(protocol) + ":" + value;
    } else {
        std::string base = path ? path : "/";
        size_t query = base.find('?');
        if (query != std::string::npos) base.erase(query);
        std::string joined;
        if (value[0] == '/') {
            joined = value;
        } else {
            size_t slash = base.rfind('/');
            joined = (slash == std::string::npos ? std::string("/") : base.substr(0, slash + 1)) + value;
        }
        char *fixed = url_path_fix(joined.c_str());
        text = std::string(protocol) + "://" + host + ":" + std::to_string(port) + fixed;
        free(fixed);
    }
    // A link with a blank or control byte in its host is nobody's.
    size_t authority = text.find("://") + 3;
    size_t authority_end = text.find_first_of("/?#", authority);
    std::string host_part =
        text.substr(authority, authority_end == std::string::npos ? std::string::npos : authority_end - authority);
    for (unsigned char c : host_part)
        if (c <= ' ' || c == '"' || c == '<' || c == '>' || c == '\\') return nullptr;
    URL *url = url_parse(text.c_str());
    if (!url) return nullptr;
    if (url->file && url->file[0] == '/') {
        std::string fixed = dot_segments_removed(url->file);
        free(url->file);
        url->file = copy(fixed.c_str());
    }
    if (!http_or_ftp(url->protocol) || !url->host || !*url->host || url->port <= 0 ||
        strpbrk(url->host, " \t\r\n\"<>")) {
        url_free(url);
        return nullptr;
    }
    return url;
}

namespace {

int prefetch_callback(HTMLStream *, htmlstream_node *node, void *data) {
    CONNECTION_T *connection = (CONNECTION_T *)data;
    PrefetchSection *section = prefetch_section;
    if (!section || !connection || !node || !node->tag || !node->tag->name) return 0;
    HEADER *request = connection->request;
    if (!request) return 0;
    URL *link = nullptr;
    unsigned allowance = 0;
    {
        SectionMutexLock lock(section);
        for (const PrefetchSection::Rule &rule : section->rules) {
            if (!rule.enabled || rule.tag.empty() || rule.attribute.empty()) continue;
            if (strcasecmp(rule.tag.c_str(), node->tag->name) != 0) continue;
            if (rule.depth != 0 && rule.depth <= connection->prefetch_depth) continue;
            if (!condition_holds(rule.profiles, connection)) continue;
            for (htmlstream_attribute *a = node->tag->attributes; a && !link; a = a->next) {
                if (!a->name || strcasecmp(a->name, rule.attribute.c_str()) != 0) continue;
                URL *candidate =
                    prefetch_link(a->value, request->protocol, request->host, request->port, request->file);
                if (!candidate) continue;
                if (rule.pattern) {
                    char *text = url_create(candidate);
                    bool matches = reg_exec(rule.pattern, text) == 0;
                    free(text);
                    if (!matches) {
                        url_free(candidate);
                        continue;
                    }
                }
                link = candidate;
                allowance = rule.size;
            }
            if (link) break;
        }
    }
    if (link) section->queue_add(link, nullptr, allowance ? allowance : 0xFFFFFFFFu, connection->prefetch_depth + 1);
    return 0;
}

// Whether a URL names the web interface: by the interface's own host, or
// by the proxy's own name with the interface's name as the path's first
// segment (the proxy's own address is judged with the route).
bool interface_named(const URL *url) {
    if (!url->host) return false;
    std::string host = url->host;
    if (!host.empty() && host.back() == '.') host.pop_back();
    if (strcasecmp(host.c_str(), INTERFACE_HOST) == 0) return true;
    const std::string self = proxy_name_get();
    const char *file = url->file;
    return !self.empty() && strcasecmp(host.c_str(), self.c_str()) == 0 && file && file[0] == '/' &&
           strncasecmp(file + 1, INTERFACE_HOST, sizeof INTERFACE_HOST - 1) == 0;
}

}  // namespace

// ---- fetching ----------------------------------------------------------------

int protocol_prefetch(PREFETCH_QUEUE *element) {
    URL *url = element->url;
    char *text = url_create(url);
    slot_set(4, text, "PREFETCH", true);
    bool cached = cache_section && cache_section->exists(text);
    if (cached) {
        free(text);
        slot_set(3, nullptr, nullptr, false);
        return 0;
    }

    CONNECTION_T *connection = connection_new();
    connection->flags = CONN_PREFETCH | CONN_CLIENT_DROPPED;
    connection->prefetch_depth = element->depth;
    connection->ip = xstrdup("127.0.0.1");
    connection->interface_ip = xstrdup("127.0.0.1");
    connection->transfer_limit = element->size_limit;

    HEADER *request = header_new();
    request->type = HEADER_ABSOLUTE;
    request->version = 2;
    request->method = xstrdup("GET");
    request->protocol = xstrdup(url->protocol);
    request->host = xstrdup(url->host);
    request->file = xstrdup(url->file && *url->file ? url->file : "/");
    request->port = url->port;
    header_complete(request);
    // The lines go through the parser so that known headers land in their
    // fields and are written once.
    std::string lines = "GET / HTTP/1.1\r\nReferer: " + std::string(text) + "\r\nAccept-Encoding: gzip, deflate\r\n";
    if (element->headers) {
        for (const HTTP_HEADER &line : *element->headers) {
            if (strcasecmp(line.name.c_str(), "Referer") == 0 || strcasecmp(line.name.c_str(), "Accept-Encoding") == 0)
                continue;
            lines += line.name + ": " + line.value + "\r\n";
        }
    } else {
        lines += "User-Agent: " PREFETCH_USER_AGENT "\r\n";
    }
    lines += "\r\n";
    http_header_list_parse(request, lines.c_str());
    if (url->user) request->user = xstrdup(url->user);
    if (url->password) request->password = xstrdup(url->password);
    connection->request = request;

    connection->forward_type = FORWARD_DIRECT;
    if (forward_section) forward_section->forward_do(connection);
    connection->log.client = "prefetch";
    connection->log.method = "GET";
    connection->log.url = text;
    connection->log.set_cachecode(CACHECODE_TCP_MISS);

    // The prefetcher asks from inside the proxy, with a Referer the
    // interface would take for its own: it never fetches the interface, nor
    // anything else that would come back into this proxy.
    const char *why = interface_named(url) ? "it names the web interface" : forward_loop(connection);
    if (why) {
        putlog(LOG_PREFETCH, "skipped a link to %s:%d since %s", url->host ? url->host : "", url->port, why);
    } else if (protocol_start(connection) >= 0) {
        if (strcasecmp(request->protocol, "http") == 0) protocol_http(connection);
        else if (strcasecmp(request->protocol, "ftp") == 0) protocol_ftp(connection);
    }

    if (connection->cache && cache_section) {
        bool writer = (connection->flags & CONN_CACHE_WRITE) != 0;
        if ((connection->flags & CONN_FAILED) && writer) cache_section->invalidate(connection->cache);
        else cache_section->cache_close(connection->cache, writer);
        connection->cache = nullptr;
    }
    delete connection->htmlstream;
    connection->htmlstream = nullptr;
    if (connection->flags & CONN_FAILED) keepalive_server_end(connection);
    // Pooled under the login the connection holds (an FTP control
    // connection stays logged in as the URL's user).
    server_connection_release(connection);
    free(connection->forward_host);
    connection->forward_host = nullptr;
    http_header_free(connection->response);
    connection->response = nullptr;
    http_header_free(request);
    connection->request = nullptr;
    connection_free(connection);
    free(text);
    slot_set(3, nullptr, nullptr, false);
    return 1;
}

// ---- the request path --------------------------------------------------------

void prefetch_queue_add(CONNECTION_T *connection, URL *url) {
    if (!prefetch_section || !url || !connection) return;
    char *text = url_create(url);
    URL *copy_url = url_parse(text);
    free(text);
    if (!copy_url) return;
    if (url->user && !copy_url->user) copy_url->user = copy(url->user);
    if (url->password && !copy_url->password) copy_url->password = copy(url->password);
    const std::vector<HTTP_HEADER> *headers = connection->request ? &connection->request->headers : nullptr;
    prefetch_section->queue_add(copy_url, headers, connection->transfer_limit, 1);
}

void prefetch_setup_callbacks(CONNECTION_T *connection) {
    if (prefetch_section) prefetch_section->setup_callbacks(connection);
}
