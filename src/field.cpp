#include "field.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "filebuf.h"
#include "log.h"
#include "mem.h"
#include "misc.h"

// ---------------------------------------------------------------------------
// Whole-text parsers

int string_to_int(const std::string &text) {
    const char *start = text.c_str();
    char *end = nullptr;
    errno = 0;
    long value = strtol(start, &end, 10);
    if (*end != '\0') throw ConfigError();
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return (int)value;
}

static bool is_blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// An unsigned decimal as strtoul reads it: blanks, an optional sign, digits.
// False when there are no digits; *end is then the text itself.
static bool unsigned_parse(const char *text, bool *negative, uint64_t *magnitude, bool *overflow, const char **end) {
    const char *p = text;
    while (is_blank(*p)) p++;
    *negative = *p == '-';
    if (*p == '+' || *p == '-') p++;
    *end = text;
    if (*p < '0' || *p > '9') return false;
    uint64_t value = 0;
    *overflow = false;
    for (; *p >= '0' && *p <= '9'; p++) {
        unsigned digit = (unsigned)(*p - '0');
        if (value > (UINT64_MAX - digit) / 10) *overflow = true;
        else value = value * 10 + digit;
    }
    *magnitude = value;
    *end = p;
    return true;
}

// The result of a 32-bit strtoul: a magnitude past the range saturates, a
// minus sign negates in 32 bits.
static uint32_t unsigned32(bool negative, uint64_t magnitude, bool overflow) {
    if (overflow || magnitude > UINT32_MAX) return UINT32_MAX;
    return negative ? 0u - (uint32_t)magnitude : (uint32_t)magnitude;
}

static uint64_t unsigned64(bool negative, uint64_t magnitude, bool overflow) {
    if (overflow) return UINT64_MAX;
    return negative ? 0 - magnitude : magnitude;
}

uint32_t string_to_uint(const std::string &text) {
    bool negative = false, overflow = false;
    uint64_t magnitude = 0;
    const char *end;
    if (!unsigned_parse(text.c_str(), &negative, &magnitude, &overflow, &end)) {
        if (!text.empty()) throw ConfigError();
        return 0;
    }
    if (*end != '\0') throw ConfigError();
    return unsigned32(negative, magnitude, overflow);
}

double string_to_double(const std::string &text) {
    const char *start = text.c_str();
    char *end = nullptr;
    double value = strtod(start, &end);
    if (*end != '\0') throw ConfigError();
    return value;
}

// A size as "%llu%10s" reads it: a number, then after optional blanks a
// unit word; whatever follows the word is ignored.
struct SIZE_TEXT {
    bool negative;
    uint64_t magnitude;
    bool overflow;
    uint64_t multiplier;
};

static SIZE_TEXT filesize_parse(const std::string &text) {
    SIZE_TEXT size;
    const char *p;
    if (!unsigned_parse(text.c_str(), &size.negative, &size.magnitude, &size.overflow, &p)) throw ConfigError();
    while (is_blank(*p)) p++;
    const char *unit_end = p;
    while (*unit_end && !is_blank(*unit_end)) unit_end++;
    std::string unit(p, unit_end - p);
    size.multiplier = 1;
    if (unit.empty()) return size;
    static const struct {
        const char *word;
        uint64_t factor;
    } units[] = {
        {"k", 1024ull},       {"kb", 1024ull},      {"kbit", 1024ull},     {"m", 1048576ull},       {"mb", 1048576ull},
        {"mbit", 1048576ull}, {"g", 1073741824ull}, {"gb", 1073741824ull}, {"gbit", 1073741824ull},
    };
    for (const auto &u : units) {
        if (strcasecmp(unit.c_str(), u.word) == 0) {
            size.multiplier = u.factor;
            return size;
        }
    }
    throw ConfigError();
}

uint32_t string_to_filesize(const std::string &text) {
    SIZE_TEXT size = filesize_parse(text);
    return unsigned32(size.negative, size.magnitude, size.overflow) * (uint32_t)size.multiplier;
}

uint64_t string_to_longfilesize(const std::string &text) {
    SIZE_TEXT size = filesize_parse(text);
    return unsigned64(size.negative, size.magnitude, size.overflow) * size.multiplier;
}

uint32_t address_to_int(const std::string &text) {
    size_t start = 0;
    while (start < text.size() && text[start] == ' ') start++;
    StringList parts(text.substr(start), ".");
    if (parts.size() != 4) throw ConfigError();
    uint32_t address = 0;
    for (const std::string &part : parts) {
        char *end = nullptr;
        long value = strtol(part.c_str(), &end, 10);
        if (*end != '\0' || value < 0 || value > 255) throw ConfigError();
        address = address * 256 + (uint32_t)value;
    }
    return address;
}

// ---------------------------------------------------------------------------
// Lists

void StringList::parse(const std::string &text, const std::string &separator) {
    if (text.empty()) return;
    if (separator.empty()) {
        push_back(text);
        return;
    }
    size_t position = 0;
    while (position < text.size()) {
        size_t found = text.find(separator, position);
        if (found == std::string::npos) {
            push_back(text.substr(position));
            return;
        }
        push_back(text.substr(position, found - position));
        position = found + separator.size();
    }
}

bool StringList::has(const std::string &s) const {
    for (const std::string &element : *this)
        if (element == s) return true;
    return false;
}

int StringList::display(const std::string &s, char *buffer) {
    memcpy(buffer, s.data(), s.size());
    buffer[s.size()] = ',';
    buffer[s.size() + 1] = '\0';
    return (int)s.size() + 1;
}

void StringList::get_strlist(const std::string &s, char *buffer) { memcpy(buffer, s.c_str(), s.size() + 1); }

bool StringList::show_p(const char *label, const std::string &s) {
    putlog(LOG_PROFILES, "%s Profile: %s", label, s.c_str());
    return true;
}

Couple::Couple(const std::string &text) : StringList(text, ",") {
    if (size() != 2) throw ConfigError();
}

int StringSelectVector::case_indexof(const std::string &value) const {
    for (size_t i = 0; i < size(); i++)
        if (strcasecmp((*this)[i].value.c_str(), value.c_str()) == 0) return (int)i;
    throw ConfigError();
}

void StringSelectVector::reset() {
    for (StringSelect &s : *this) s.selected = false;
}

IpRange::IpRange(const std::string &text) {
    size_t dash = text.find('-');
    if (dash == std::string::npos) {
        if (text.empty()) {
            low_text = "0.0.0.0";
            high_text = "255.255.255.255";
        } else {
            low_text = high_text = text;
        }
    } else {
        low_text = text.substr(0, dash);
        high_text = text.substr(dash + 1);
        if (low_text.empty()) low_text = "0.0.0.0";
        if (high_text.empty()) high_text = "255.255.255.255";
    }
    low = address_to_int(low_text);
    high = address_to_int(high_text);
}

bool IpRange::has(const std::string &address) const {
    try {
        return has(address_to_int(address));
    } catch (const ConfigError &) {
        return false;
    }
}

void IpRangeList::parse(const std::string &text) {
    this->text = text;
    StringList elements(text, ",");
    for (const std::string &element : elements) push_back(IpRange(element));
}

bool IpRangeList::has(const std::string &address) const {
    if (empty()) return true;
    uint32_t value;
    try {
        value = address_to_int(address);
    } catch (const ConfigError &) {
        return false;
    }
    for (const IpRange &range : *this)
        if (range.has(value)) return true;
    return false;
}

// One port of a range: the whole part, 1 to 65535.
static int port_parse(const std::string &part) {
    char *end = nullptr;
    long value = strtol(part.c_str(), &end, 10);
    if (part.empty() || *end != '\0' || value < 1 || value > 65535) throw ConfigError();
    return (int)value;
}

PortRange::PortRange(const std::string &text) {
    size_t dash = text.find('-');
    if (dash == std::string::npos) {
        low = high = port_parse(text);
    } else {
        low = port_parse(text.substr(0, dash));
        high = port_parse(text.substr(dash + 1));
    }
}

void PortRangeList::parse(const std::string &text) {
    StringList elements(text, ",");
    for (const std::string &element : elements) push_back(PortRange(element));
}

bool PortRangeList::has(int port) const {
    if (empty()) return true;
    for (const PortRange &range : *this)
        if (range.has(port)) return true;
    return false;
}

// ---------------------------------------------------------------------------
// Field

Field::Field(bool enabled, const std::string &name, const std::string &comment, const std::string &desc,
             const std::string &default_text, unsigned int type, bool optional)
    : enabled(enabled),
      name(name),
      type(type),
      comment(comment),
      desc(desc),
      width(20),
      low(0),
      high(0),
      optional(optional),
      active(false),
      int_value(0),
      int_value2(0),
      uint_value(0),
      ulonglong_value(0),
      string_value(default_text),
      double_value(0) {
    switch (type) {
        case FIELD_INT: int_value = string_to_int(default_text); break;
        case FIELD_UINT: uint_value = string_to_uint(default_text); break;
        case FIELD_BOOL: int_value = strcasecmp(default_text.c_str(), "true") == 0 ? 1 : 0; break;
        case FIELD_STRING:
        case FIELD_STRING_LIST:
        case FIELD_IP_RANGE_LIST:
        case FIELD_PORT_RANGE_LIST: width = 80; break;
        case FIELD_INT_RANGE: {
            Couple bounds(default_text);
            low = string_to_int(bounds.first());
            high = string_to_int(bounds.second());
            break;
        }
        case FIELD_FILE_SIZE: uint_value = string_to_filesize(default_text); break;
        case FIELD_LONG_FILE_SIZE: ulonglong_value = string_to_longfilesize(default_text); break;
        case FIELD_DOUBLE:
            // Parsed like the other numbers, so that a field read before the
            // first load agrees with the text it shows.
            double_value = string_to_double(default_text);
            break;
        default: break;
    }
}

Field::Field(bool enabled, const std::string &name, const std::string &comment, const std::string &desc,
             const StringSelectVector &values, unsigned int type, bool optional)
    : enabled(enabled),
      name(name),
      type(type),
      comment(comment),
      desc(desc),
      width(0),
      low(0),
      high(0),
      optional(optional),
      active(false),
      int_value(0),
      int_value2(0),
      uint_value(0),
      ulonglong_value(0),
      select_vector(values),
      select_vector2(values),
      double_value(0) {}

static const char *const type_names[] = {
    "INT",
    "UINT",
    "BOOL",
    "STRING",
    "STRING_SELECT_ONE",
    "STRING_SELECT_MANY",
    "STRING_LIST",
    "IP_RANGE_LIST",
    "PORT_RANGE_LIST",
    nullptr,
    "STRING_RANGE",
    "INT_RANGE",
    "FILE_SIZE",
    "MULTILINE_STRING",
    "LONG_FILE_SIZE",
    "DOUBLE",
};

unsigned int Field::type_get(const std::string &keyword) {
    for (unsigned int code = 0; code < sizeof type_names / sizeof type_names[0]; code++)
        if (type_names[code] && keyword == type_names[code]) return code;
    putlog(LOG_ERROR, "section definition: unknown field type %s", keyword.c_str());
    fatal_assert("src/section", __LINE__, "type_get");
}

const char *Field::type_name(unsigned int type) {
    if (type >= sizeof type_names / sizeof type_names[0]) return nullptr;
    return type_names[type];
}

bool Field::is_select(unsigned int type) {
    return type == FIELD_STRING_SELECT_ONE || type == FIELD_STRING_SELECT_MANY || type == FIELD_STRING_RANGE;
}

std::string Field::nature() const {
    switch (type) {
        case FIELD_INT: return "an integer";
        case FIELD_UINT: return "a positive integer";
        case FIELD_BOOL: return "true or false";
        case FIELD_STRING: return "a string";
        case FIELD_STRING_SELECT_ONE: return "a string among these values : " + possible_values();
        case FIELD_STRING_SELECT_MANY: return "a list of strings among these values : " + possible_values();
        case FIELD_STRING_LIST: return "a string list";
        case FIELD_IP_RANGE_LIST: return "an IP range list (see manual)";
        case FIELD_PORT_RANGE_LIST: return "a port range list (see manual)";
        case FIELD_STRING_RANGE: return "a couple of strings among these values : " + possible_values();
        case FIELD_INT_RANGE: {
            char text[100];
            snprintf(text, sizeof text, "a couple of integers between %d and %d inclusive", low, high);
            return text;
        }
        case FIELD_FILE_SIZE:
        case FIELD_LONG_FILE_SIZE: return "a file size (for example 120, 10K, 1M)";
        case FIELD_MULTILINE_STRING: return "a multi-line string";
        case FIELD_DOUBLE: return "a floating point number";
        default: return "";
    }
}

std::string Field::possible_values() const {
    std::string values;
    for (size_t i = 0; i < select_vector.size(); i++) {
        if (i) values += ",";
        values += select_vector[i].value;
    }
    return values;
}

void Field::display(Filebuf *page, bool *odd) const {
    if (!enabled) return;
    if (optional ? !active : string_value.empty()) return;
    char *html = string_to_html(string_value.c_str(), 1);
    if (!html) fatal_alloc("src/section", __LINE__, "display", string_value.size() + 1);
    // Addf cuts long results, so the row is written in pieces.
    page->Addf("<tr class=\"%s\"><td width=\"20%%\">", *odd ? "entryfieldodd" : "entryfieldeven");
    page->Add(comment.data(), (long long)comment.size());
    page->Addf("</td><td>");
    page->Add(html, (long long)strlen(html));
    page->Addf("</td></tr>\n");
    free(html);
    *odd = !*odd;
}
