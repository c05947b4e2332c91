// Fuzz target: the configuration value parsers a "/load" URL and a slave's
// synchronisation reach: IP range lists, port range lists, sizes, numbers
// and dotted addresses. A value that parses, printed back in plain form,
// parses to the same value.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "field.h"
#include "fuzz_support.h"
#include "settings.h"

namespace {

std::string dotted(uint32_t address) {
    char text[16];
    snprintf(text, sizeof text, "%u.%u.%u.%u", address >> 24, (address >> 16) & 255, (address >> 8) & 255,
             address & 255);
    return text;
}

void ip_ranges(const std::string &text) {
    IpRangeList list;
    try {
        list.parse(text);
    } catch (const ConfigError &) {
        return;
    }
    check(list.text == text);
    std::string printed;
    for (const IpRange &range : list) {
        if (!printed.empty()) printed += ",";
        printed += dotted(range.low) + "-" + dotted(range.high);
        check(range.has(range.low) == (range.low <= range.high));
        check(range.has(dotted(range.low)) == range.has(range.low));
    }
    IpRangeList again(printed);
    check(again.size() == list.size());
    for (size_t i = 0; i < list.size(); i++) check(again[i].low == list[i].low && again[i].high == list[i].high);
}

void port_ranges(const std::string &text) {
    PortRangeList list;
    try {
        list.parse(text);
    } catch (const ConfigError &) {
        return;
    }
    std::string printed;
    for (const PortRange &range : list) {
        check(range.low >= 1 && range.low <= 65535 && range.high >= 1 && range.high <= 65535);
        if (!printed.empty()) printed += ",";
        printed += std::to_string(range.low) + "-" + std::to_string(range.high);
    }
    PortRangeList again(printed);
    check(again.size() == list.size());
    for (size_t i = 0; i < list.size(); i++) check(again[i].low == list[i].low && again[i].high == list[i].high);
}

void file_size(const std::string &text) {
    try {
        uint32_t size = string_to_filesize(text);
        check(string_to_filesize(std::to_string(size)) == size);
        if (size % 1024 == 0) check(string_to_filesize(std::to_string(size / 1024) + "K") == size);
        if (size % 1048576 == 0) check(string_to_filesize(std::to_string(size / 1048576) + " mb") == size);
    } catch (const ConfigError &) {
    }
}

void long_file_size(const std::string &text) {
    try {
        uint64_t size = string_to_longfilesize(text);
        check(string_to_longfilesize(std::to_string(size)) == size);
        if (size % 1073741824 == 0) check(string_to_longfilesize(std::to_string(size / 1073741824) + "g") == size);
    } catch (const ConfigError &) {
    }
}

void signed_number(const std::string &text) {
    try {
        int value = string_to_int(text);
        check(string_to_int(std::to_string(value)) == value);
    } catch (const ConfigError &) {
    }
}

void unsigned_number(const std::string &text) {
    try {
        uint32_t value = string_to_uint(text);
        check(string_to_uint(std::to_string(value)) == value);
    } catch (const ConfigError &) {
    }
}

void address(const std::string &text) {
    try {
        uint32_t address = address_to_int(text);
        check(address_to_int(dotted(address)) == address);
    } catch (const ConfigError &) {
    }
}

// The bounds of an INT_RANGE field: two numbers separated by ','.
void couple(const std::string &text) {
    try {
        Couple bounds(text);
        check(bounds.size() == 2);
        if (bounds.first().find(',') == std::string::npos && !bounds.second().empty()) {
            Couple again(bounds.first() + "," + bounds.second());
            check(again.first() == bounds.first() && again.second() == bounds.second());
        }
    } catch (const ConfigError &) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    loglevel = 0;
    return 0;
}

// The first byte picks the parser: a refused value costs an exception,
// which is slow under the sanitizers.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0 || size > 1024) return 0;
    static void (*const parsers[])(const std::string &) = {ip_ranges,       port_ranges, file_size, long_file_size,
                                                           signed_number,   unsigned_number, address, couple};
    std::string text(reinterpret_cast<const char *>(data) + 1, size - 1);
    text = text.substr(0, text.find('\0'));
    parsers[data[0] % (sizeof parsers / sizeof parsers[0])](text);
    return 0;
}
