// Fuzz target: the form and query strings the web interface reads from its
// clients, and the numbers its pages take from them.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "fuzz_support.h"
#include "interface.h"
#include "settings.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    loglevel = 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    CGIMap form(text.c_str());
    size_t segments = 1;
    for (char c : text.substr(0, text.find('\0'))) segments += c == '&';
    check(form.size() <= segments);
    for (const auto &entry : form) {
        check(form.get(entry.first) == entry.second);
        (void)xatoi(entry.second.c_str());
    }
    check(form.get("no such key in any form \x01").empty() || form.count("no such key in any form \x01"));
    // A form read twice holds the same pairs.
    CGIMap again;
    again.parse(text.c_str());
    again.parse(text.c_str());
    check(again == form);
    return 0;
}
