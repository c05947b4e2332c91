// Fuzz target: FTP directory listings as a server sends them, parsed into
// entries, sorted every way the listing page can ask for, filtered by a
// pattern from the query and linked. The input is the listing, or
// "<pattern>\0<listing>".
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "dirlist.h"
#include "filebuf.h"
#include "fuzz_support.h"
#include "settings.h"

namespace {

size_t count_checked(dir_t *list) {
    size_t n = 0;
    dir_t *previous = nullptr;
    for (dir_t *e = list; e; e = e->next) {
        check(e->prev == previous);
        check(!e->name.empty() && e->name != "." && e->name != ".." && e->name != "/");
        std::string bare = e->name;
        if (e->directory) {
            check(bare.back() == '/');
            bare.pop_back();
        }
        // A name never leads out of the directory nor ends its line early.
        check(bare.find('/') == std::string::npos);
        check(bare.find_first_of(std::string("\r\n\0", 3)) == std::string::npos);
        std::string link = dir_link_encode(e->name);
        check(link.find_first_of("/?#&\"'<> ") == std::string::npos);
        check(dir_list_find(list, e->name.c_str()) != nullptr);
        previous = e;
        n++;
    }
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    loglevel = 0;
    setenv("TZ", "UTC", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string input(reinterpret_cast<const char *>(data), size);
    std::string pattern;
    bool filtered = false;
    size_t nul = input.find('\0');
    if (nul != std::string::npos && nul < 256) {
        pattern = input.substr(0, nul);
        input.erase(0, nul + 1);
        filtered = true;
    }
    Filebuf listing;
    listing.Add(input.data(), (long long)input.size());
    dir_t *list = dir_list_parse(&listing, (time_t)1700000000);
    size_t n = count_checked(list);
    for (int field = DIRLIST_NONE; field <= DIRLIST_DATE; field++) {
        list = dir_list_sort(list, DIRLIST_DESCENDING, field);
        check(count_checked(list) == n);
        list = dir_list_sort(list, DIRLIST_ASCENDING, field);
        check(count_checked(list) == n);
    }
    if (filtered) {
        list = dir_list_filter(list, pattern.c_str());
        check(count_checked(list) <= n);
    }
    dir_list_free(list);
    return 0;
}
