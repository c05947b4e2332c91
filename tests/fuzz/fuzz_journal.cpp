// Fuzz target: lines of a disk store's journal, as the reader takes them at
// start-up (the file is outside input: a crash or a full disk cuts it
// anywhere). A line the reader accepts, recorded again the way the cache
// writes it, reads back as the same entry and fits a journal line.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "cache.h"
#include "fuzz_support.h"
#include "settings.h"

namespace {

void line_checks(const std::string &line) {
    JOURNAL_ENTRY entry;
    if (!CacheSection::journal_parse(line.c_str(), &entry)) return;
    check(!entry.key.empty() && entry.key.find_first_of("\t\r\n") == std::string::npos);
    check(entry.size <= 0xFFFFFFFFul);
    check(entry.md5.empty() || entry.md5 == CACHE_MD5_NONE || entry.md5.size() == 32);

    CACHEMAP object;
    object.key = strdup(entry.key.c_str());
    object.flags = (unsigned int)entry.flags;
    object.size = (unsigned int)entry.size;
    object.stored = (time_t)entry.stored;
    object.accessed = (time_t)entry.accessed;
    object.min_age = (unsigned int)entry.min_age;
    object.max_age = (unsigned int)entry.max_age;
    object.default_age = (unsigned int)entry.default_age;
    object.lm_factor = (unsigned int)entry.lm_factor;
    snprintf(object.md5, sizeof object.md5, "%s", entry.md5.empty() ? CACHE_MD5_NONE : entry.md5.c_str());
    char written[CACHE_JOURNAL_LINE_MAX + 1];
    int n = CacheSection::journal_line(&object, written, sizeof written);
    free(object.key);
    check(n > 0 && n <= CACHE_JOURNAL_LINE_MAX && written[n - 1] == '\n');
    check(memchr(written, '\n', (size_t)n - 1) == nullptr);
    written[n - 1] = '\0';

    JOURNAL_ENTRY again;
    check(CacheSection::journal_parse(written, &again));
    check(again.flags == entry.flags && again.key == entry.key && again.size == entry.size);
    check(again.stored == entry.stored && again.accessed == entry.accessed);
    check(again.ages);
    if (entry.ages)
        check(again.min_age == entry.min_age && again.max_age == entry.max_age &&
              again.default_age == entry.default_age && again.lm_factor == entry.lm_factor);
    check(again.md5 == (entry.md5.empty() ? CACHE_MD5_NONE : entry.md5));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    loglevel = 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 4 * CACHE_JOURNAL_LINE_MAX) return 0;
    std::string text(reinterpret_cast<const char *>(data), size);
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        line_checks(line.substr(0, line.find('\0')));
        start = end + 1;
    }
    return 0;
}
