#include "cprofiles.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include "base64block.h"
#include "compat.h"
#include "connection.h"
#include "header.h"
#include "interface.h"
#include "lockguard.h"
#include "log.h"
#include "mxquery.h"
#include "processors.h"
#include "profiles.h"

CPROFILES_Section *cprofiles_section = nullptr;

#define CPROFILES_NAME_MAX 255
#define CPROFILES_LINE_MAX 1023
#define CPROFILES_OUT_MAX 2047

static const FIELD_BIND<CPROFILES_Section::Options> cprofiles_options[] = {
    FIELD_BIND_OF(CPROFILES_Section::Options, 0, "enabled", FIELD_BOOL, enabled),
    FIELD_BIND_OF(CPROFILES_Section::Options, 1, "hints", FIELD_STRING, hints),
};

static const FIELD_BIND<CPROFILES> cprofiles_fields[] = {
    FIELD_BIND_OF(CPROFILES, 0, "enabled", FIELD_BOOL, enabled),
    FIELD_BIND_OF(CPROFILES, 1, "comment", FIELD_STRING, comment),
    FIELD_BIND_OF(CPROFILES, 2, "log", FIELD_INT, log),
    FIELD_BIND_OF(CPROFILES, 3, "profiles", FIELD_STRING_LIST, profiles),
    FIELD_BIND_OF(CPROFILES, 4, "categories", FIELD_STRING_LIST, categories),
    FIELD_BIND_OF(CPROFILES, 5, "range", FIELD_STRING, range),
    FIELD_BIND_OF(CPROFILES, 6, "add", FIELD_STRING_LIST, add),
    FIELD_BIND_OF(CPROFILES, 7, "remove", FIELD_STRING_LIST, remove),
};

Section *cprofiles_construct() {
    cprofiles_section = new CPROFILES_Section();
    return cprofiles_section;
}

int cp_cache_key(int n, const std::string &key) {
    if (n < 1) return 0;
    uint32_t sum = 0;
    for (char ch : key) {
        int c = (signed char)ch;
        sum += (uint32_t)(20 * c) + (uint32_t)(c >> 2) + (uint32_t)(c >> 4) + 8111u;
    }
    return (int)(sum % (uint32_t)n);
}

static int cprofiles_pass(CONNECTION_T *connection, int pass) {
    if (!cprofiles_section || !connection || !connection->request || !connection->request->host ||
        !connection->request->host[0])
        return 0;
    // Never the web interface.
    if (interface_request(connection)) {
        interface_request_settle(connection);
        return 0;
    }
    cprofiles_section->check_profiles(connection, pass);
    return 0;
}

int cprofiles_first(CONNECTION_T *connection, Filebuf *) { return cprofiles_pass(connection, 0); }
int cprofiles_second(CONNECTION_T *connection, Filebuf *) { return cprofiles_pass(connection, 1); }

CPROFILES_Section::CPROFILES_Section() : Section("cProfiles", SECTION_RWLOCK) {
    options_bind(cprofiles_options, &opts);
    fields_declare(0, cprofiles_fields);
    for (Entry *&b : buckets_) b = nullptr;
    pthread_rwlock_init(&cache_lock_, nullptr);
    pthread_rwlock_init(&file_lock_, nullptr);
    putlog(LOG_ADVICE, "cProfiles: cache initialized for %d records and is ready to use", CP_CACHE_BUCKETS);
    putlog(LOG_DEBUG, "cProfiles: Allocated %d Memory for cached records", (int)(CP_CACHE_BUCKETS * 4));
    processors.Add(cprofiles_first, PROCESSOR_AUTH);
    processors.Add(cprofiles_second, PROCESSOR_REQMOD);
}

CPROFILES_Section::~CPROFILES_Section() {
    if (cprofiles_section == this) {
        processors.Remove(cprofiles_first);
        processors.Remove(cprofiles_second);
        cprofiles_section = nullptr;
    }
    for (Entry *&b : buckets_) {
        while (b) {
            Entry *next = b->next;
            delete b;
            b = next;
        }
    }
    if (cfd_ >= 0) close(cfd_);
    pthread_rwlock_destroy(&cache_lock_);
    pthread_rwlock_destroy(&file_lock_);
}

void CPROFILES_Section::update() {
    rules.clear();
    if (!*opts.enabled || subsections.empty()) return;
    for (const Item &item : subsections[0].items) {
        CPROFILES rule;
        fields_read(cprofiles_fields, item.fields, &rule);
        rules.push_back(rule);
    }
    cprofiles_init();
}

// ---- cache ----------------------------------------------------------------------

int CPROFILES_Section::cp_cache_search(const std::string &key) {
    int score = -1;
    RwReadLock held(&cache_lock_);
    for (Entry *e = buckets_[cp_cache_key(CP_CACHE_BUCKETS, key)]; e; e = e->next) {
        if (strcasecmp(e->key.c_str(), key.c_str()) == 0) {
            score = e->score;
            break;
        }
    }
    return score;
}

int CPROFILES_Section::update_cp_cache(const std::string &key, int score) {
    if (cp_cache_search(key) != -1) return 0;
    RwWriteLock held(&cache_lock_);
    Entry **link = &buckets_[cp_cache_key(CP_CACHE_BUCKETS, key)];
    // Another thread may have inserted it since the look-up.
    for (; *link; link = &(*link)->next) {
        if (strcasecmp((*link)->key.c_str(), key.c_str()) == 0) return 0;
    }
    *link = new Entry{nullptr, key, score};
    return 1;
}

// ---- files ----------------------------------------------------------------------

static std::vector<std::string> split_tabs(const std::string &line) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) break;
        start = tab + 1;
    }
    return fields;
}

// Lines of at most the line bound, line end removed; a longer line is read
// as several.
static void lines_of(FILE *file, const std::function<void(const std::string &)> &take) {
    char buffer[CPROFILES_LINE_MAX + 1];
    while (fgets(buffer, sizeof buffer, file)) {
        std::string line(buffer, strnlen(buffer, sizeof buffer));
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        take(line);
    }
}

void CPROFILES_Section::cprofile_filetocache_insert(const std::string &directory) {
    DIR *dir = s_opendir(directory.c_str());
    if (!dir) {
        putlog(LOG_ERROR, "cProfiles: hints directory: %s, does not exist", directory.c_str());
        return;
    }
    while (struct dirent *entry = readdir(dir)) {
        const char *name = entry->d_name;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
        const char *dot = strrchr(name, '.');
        if (!dot || strcmp(dot + 1, "cprofiles") != 0) continue;
        std::string path = directory + "/" + name;
        if (path.size() > 511) continue;
        FILE *file = s_fopen(path.c_str(), "r");
        if (!file) {
            putlog(LOG_ERROR, "[system: open_1:%d:%s], in %s, failed to open private cache: %s", errno, strerror(errno),
                   "cprofile_filetocache_insert", path.c_str());
            continue;
        }
        int records = 0;
        lines_of(file, [&](const std::string &line) {
            std::vector<std::string> fields = split_tabs(line);
            if (fields.size() != 2) return;
            records++;
            int score = atoi(fields[1].c_str());
            if (score != 0) update_cp_cache(fields[0], score);
        });
        fclose(file);
        putlog(LOG_ADVICE, "cProfiles: read from %s, records: %d", path.c_str(), records);
    }
    closedir(dir);

    std::string cache = directory + "/cprofiles.cache";
    FILE *file = s_fopen(cache.c_str(), "r");
    if (!file) {
        putlog(LOG_ERROR, "[system: open_2:%d:%s], in %s, failed to open ccs cache: %s", errno, strerror(errno),
               "cprofile_filetocache_insert", cache.c_str());
        return;
    }
    int records = 0;
    lines_of(file, [&](const std::string &line) {
        std::string text;
        if (line.empty() || decode64(line.c_str(), &text) < 1) {
            putlog(LOG_ERROR, "cProfiles: failed to decode: %s", line.c_str());
            return;
        }
        std::vector<std::string> fields = split_tabs(text);
        if (fields.size() != 2) return;
        records++;
        update_cp_cache(fields[0], atoi(fields[1].c_str()));
    });
    fclose(file);
    putlog(LOG_ADVICE, "cProfiles: read from %s, records: %d", cache.c_str(), records);
}

void CPROFILES_Section::cprofiles_cache_file_setup(const std::string &directory) {
    std::string cache = directory + "/cprofiles.cache";
    RwWriteLock held(&file_lock_);
    if (cfd_ >= 0) close(cfd_);
    file_flag_ = true;
    cfd_ = s_open(cache.c_str(), O_RDWR | O_CREAT | O_APPEND, 0644);
    if (cfd_ < 0) {
        file_flag_ = false;
        putlog(LOG_ERROR, "[system: open64:%d:%s], in %s, failed to open file: %s", errno, strerror(errno),
               "cprofiles_cache_file_setup", cache.c_str());
    } else if (lseek(cfd_, 0, SEEK_END) < 0) {
        file_flag_ = false;
        close(cfd_);
        cfd_ = -1;
    }
}

void CPROFILES_Section::cprofiles_init() {
    bool loaded;
    {
        RwReadLock held(&file_lock_);
        loaded = file_flag_;
    }
    // Without a hints directory no file is read nor created.
    if (loaded || opts.hints->empty()) return;
    const std::string directory = *opts.hints;
    cprofile_filetocache_insert(directory);
    if (create_recursive_directory(directory.c_str()) < 0) {
        putlog(LOG_ADVICE, "error: cprofiles: failed to create the hints directory");
        return;
    }
    cprofiles_cache_file_setup(directory);
}

bool CPROFILES_Section::cache_file_open() {
    RwReadLock held(&file_lock_);
    return file_flag_ && cfd_ >= 0;
}

void CPROFILES_Section::cprofile_dnstofile_insert(const std::string &key, int score) {
    std::string text = key + "\t" + std::to_string(score);
    if (text.size() > CPROFILES_LINE_MAX) return;
    std::string line = encode64(text);
    if (line.size() > CPROFILES_LINE_MAX) return;
    line += "\n";
    RwWriteLock held(&file_lock_);
    if (file_flag_ && cfd_ >= 0 && write(cfd_, line.data(), line.size()) != (ssize_t)line.size()) {
        file_flag_ = false;
        fsync(cfd_);
        close(cfd_);
        cfd_ = -1;
    }
}

// ---- rules ------------------------------------------------------------------------------

static bool range_read(const std::string &text, int *lo, int *hi) {
    if (text.empty()) return false;
    size_t dash = text.rfind('-');
    if (dash == std::string::npos || dash == 0) {
        *lo = *hi = atoi(text.c_str());
        return true;
    }
    *lo = atoi(text.substr(0, std::min<size_t>(dash, 15)).c_str());
    *hi = atoi(text.c_str() + dash + 1);
    return true;
}

void CPROFILES_Section::apply(const CPROFILES &rule, CONNECTION_T *connection) {
    for (const std::string &name : rule.add) {
        if (!connection->profiles.has(name)) connection->profiles.push_back(name);
        if (rule.log == 1) StringList::show_p("cProfiles: Added: ", name);
    }
    for (const std::string &name : rule.remove) {
        if (rule.log == 1) StringList::show_p("cProfiles: Removed: ", name);
        for (auto it = connection->profiles.begin(); it != connection->profiles.end();)
            it = *it == name ? connection->profiles.erase(it) : it + 1;
    }
}

void CPROFILES_Section::check_profiles(CONNECTION_T *connection, int pass) {
    SectionReadLock lock(this);
    if (!*opts.enabled) return;
    const std::string host = connection->request->host;
    const std::string zone = CPROFILES_ZONE;
    const std::string query = host + "." + zone;
    const bool files = !opts.hints->empty();
    for (const CPROFILES &rule : rules) {
        if (!rule.enabled) continue;
        if (pass == 0 ? !rule.profiles.empty() : !profile_find(connection->profiles, rule.profiles)) continue;
        int lo, hi;
        if (rule.categories.empty() || !range_read(rule.range, &lo, &hi)) {
            if (rule.log == 1) putlog(LOG_ERROR, "cprofiles: malformed entry: category or score range not specified.");
            continue;
        }
        if (query.size() > CPROFILES_NAME_MAX) continue;
        std::vector<std::string> pending;
        bool applied = false;
        for (const std::string &category : rule.categories) {
            if (category.empty()) {
                if (rule.log == 1) putlog(LOG_ERROR, "cprofiles: malformed specification of category");
                continue;
            }
            if (category.back() == '.') {
                // A zone of its own: how to key, query and match it is not settled.
                if (rule.log == 1) putlog(LOG_ERROR, "cprofiles: category %s names a zone; skipped", category.c_str());
                continue;
            }
            std::string key = host + "." + category + "." + zone;
            if (key.size() > CPROFILES_NAME_MAX) continue;
            int score = cp_cache_search(key);
            if (lo <= score && score <= hi) {
                if (rule.log == 1)
                    putlog(LOG_PROFILES,
                           "cprofiles: cache hit! site: %s scored: %d in category: %s, matches required range",
                           host.c_str(), score, category.c_str());
                apply(rule, connection);
                applied = true;
                break;
            }
            if (score == -1) {
                pending.push_back(category);
            } else if (rule.log == 1) {
                putlog(LOG_PROFILES,
                       "cprofiles: cache hit! site: %s scored: %d in category: %s, Does Not Match required range",
                       host.c_str(), score, category.c_str());
            }
        }
        if (applied || pending.empty()) continue;
        std::vector<std::pair<std::string, int>> answers = getmx(query);
        if (answers.empty()) {
            putlog(LOG_ERROR, "cProfiles: failed to lookup site: %s", host.c_str());
            continue;
        }
        for (const auto &answer : answers) {
            std::string key = host + "." + answer.first + "." + zone;
            if (key.size() > 511) continue;
            if (update_cp_cache(key, answer.second) == 1 && files) {
                cprofile_dnstofile_insert(key, answer.second);
                if (rule.log == 1)
                    putlog(LOG_PROFILES, "cProfiles: cache updated for: site: %s scored: %d in category: %s",
                           host.c_str(), answer.second, answer.first.c_str());
            }
        }
        for (const std::string &category : pending) {
            bool found = false;
            for (const auto &answer : answers) {
                if (answer.first == category && lo <= answer.second && answer.second <= hi) {
                    found = true;
                    break;
                }
            }
            if (found) {
                apply(rule, connection);
                break;
            }
        }
    }
}
