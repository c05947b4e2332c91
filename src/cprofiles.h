// Category profiles: the "cProfiles" section gives requests profiles by the
// categories of the requested host. One MX query for "<host>.<zone>" in the
// category zone answers one record per category of the host: the exchange
// name is the category, the preference the host's score in it. Answers are
// kept in a category cache (never expired) keyed "<host>.<category>.<zone>",
// appended to "cprofiles.cache" in the hints directory (one base64 line
// each) and read back at start-up with the hint files "*.cprofiles" (a key,
// a tab and a score a line). A rule whose host score in one of its
// categories lies in its range adds and removes profiles.
//
// Two passes: rules without a profile condition run in the authentication
// stage, rules whose condition holds (those without one included) in the
// request-modification stage.
#ifndef KORVANTEL_CPROFILES_H
#define KORVANTEL_CPROFILES_H

#include <pthread.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "field.h"
#include "mxquery.h"
#include "section.h"

class Filebuf;
struct CONNECTION_T;

// The category zone the MX queries go to.
#define CPROFILES_ZONE "cprofiles.korvantel.net"
#define CP_CACHE_BUCKETS 8111

struct CPROFILES {
    bool enabled = false;
    std::string comment;
    int log = 0;          // 1: the rule's diagnostic lines
    StringList profiles;  // condition
    StringList categories;
    std::string range;  // "lo-hi" or "n"
    StringList add;
    StringList remove;
};

class CPROFILES_Section : public Section {
public:
    struct Options {
        const int *enabled = nullptr;
        const std::string *hints = nullptr;  // hints directory; empty: no files
    };
    Options opts;
    std::vector<CPROFILES> rules;

    CPROFILES_Section();
    ~CPROFILES_Section() override;
    void update() override;

    // The rule walk of one pass (0 first, 1 second).
    void check_profiles(CONNECTION_T *connection, int pass);

    // Cache: the score of a key, or -1.
    int cp_cache_search(const std::string &key);
    // 1 when the key was inserted, 0 when it was present (checked again
    // under the write lock, so two threads never insert one key twice).
    int update_cp_cache(const std::string &key, int score);
    // Appends one line to the cache file when it is open.
    void cprofile_dnstofile_insert(const std::string &key, int score);
    // Loads the hint and cache files once and opens the cache file.
    void cprofiles_init();
    // Whether the cache file is open for appending.
    bool cache_file_open();

private:
    struct Entry {
        Entry *next;
        std::string key;
        int score;
    };
    Entry *buckets_[CP_CACHE_BUCKETS];
    pthread_rwlock_t cache_lock_;
    pthread_rwlock_t file_lock_;
    bool file_flag_ = false;  // under file_lock_
    int cfd_ = -1;            // under file_lock_

    void cprofile_filetocache_insert(const std::string &directory);
    void cprofiles_cache_file_setup(const std::string &directory);
    void apply(const CPROFILES &rule, CONNECTION_T *connection);
};

extern CPROFILES_Section *cprofiles_section;

Section *cprofiles_construct();

// Bucket of a key: over its bytes taken as signed values c, the sum of
// 20c + (c >> 2) + (c >> 4) + 8111, modulo n; an empty key gives 0.
int cp_cache_key(int n, const std::string &key);

int cprofiles_first(CONNECTION_T *connection, Filebuf *buffer);
int cprofiles_second(CONNECTION_T *connection, Filebuf *buffer);

#endif
