// Configuration value types: the typed Field every configuration value lives
// in, the whole-text parsers, and the list types rules match against.
//
// A field keeps its value twice: as text (exactly as the configuration
// document holds it and the forms show it) and parsed, in the member its type
// uses. Readers take: int_value for INT, BOOL (1/0), STRING_SELECT_ONE (the
// index), STRING_SELECT_MANY (the mask) and the first member of STRING_RANGE
// and INT_RANGE; int_value2 for the second member of a pair; uint_value for
// UINT and FILE_SIZE; ulonglong_value for LONG_FILE_SIZE; double_value for
// DOUBLE; string_value for STRING and MULTILINE_STRING; string_list for
// STRING_LIST and STRING_SELECT_MANY; ip_range_list and port_range_list for
// the two range lists.
#ifndef KORVANTEL_FIELD_H
#define KORVANTEL_FIELD_H

#include <stdint.h>

#include <string>
#include <vector>

class CGIMap;
class Filebuf;
class XmlElement;
class TiXmlElement;

// The one exception type of the program: a value that cannot be accepted,
// or a configuration element that is missing. Carries no message; each
// catcher words its own.
class ConfigError {};

// Type codes of Field::type. The section-definition document names them by
// keyword (Field::type_get).
enum {
    FIELD_INT = 0,
    FIELD_UINT = 1,
    FIELD_BOOL = 2,
    FIELD_STRING = 3,
    FIELD_STRING_SELECT_ONE = 4,
    FIELD_STRING_SELECT_MANY = 5,
    FIELD_STRING_LIST = 6,
    FIELD_IP_RANGE_LIST = 7,
    FIELD_PORT_RANGE_LIST = 8,
    FIELD_UNIQUE_ID = 9,  // reserved: no keyword selects it; text only
    FIELD_STRING_RANGE = 10,
    FIELD_INT_RANGE = 11,
    FIELD_FILE_SIZE = 12,
    FIELD_MULTILINE_STRING = 13,
    FIELD_LONG_FILE_SIZE = 14,
    FIELD_DOUBLE = 15,
};

// A STRING_SELECT_MANY mask is an int: at most this many possible values.
#define FIELD_SELECT_MANY_MAX 32

// Whole-text parsers; each throws ConfigError for text it cannot accept.
// string_to_int/uint/double: strtol/strtoul/strtod in base 10 that must use
// up the whole text (so "" gives 0 and "5 " is refused). string_to_int
// saturates at the int limits; string_to_uint negates a leading minus in
// 32-bit arithmetic ("-1" gives 4294967295).
int string_to_int(const std::string &text);
uint32_t string_to_uint(const std::string &text);
double string_to_double(const std::string &text);
// A number, optional blanks, then an optional unit k/kb/kbit, m/mb/mbit or
// g/gb/gbit (any case); whatever follows the unit word is ignored. The
// arithmetic wraps in 32 (64) bits.
uint32_t string_to_filesize(const std::string &text);
uint64_t string_to_longfilesize(const std::string &text);
// Dotted IPv4 address to a number, first part in the most significant byte.
// Leading blanks are skipped; an empty part counts as 0.
uint32_t address_to_int(const std::string &text);

// An ordered list of strings.
class StringList : public std::vector<std::string> {
public:
    StringList() {}
    StringList(const std::string &text, const std::string &separator) { parse(text, separator); }
    // Appends the pieces of text: two separators in a row give an empty
    // piece, a separator at the end none; nothing is trimmed.
    void parse(const std::string &text, const std::string &separator);
    // Exact (case-sensitive) membership; an empty list has nothing.
    bool has(const std::string &s) const;

    // Per-element helpers for walking a list into a caller's buffer, which
    // must be large enough.
    // Writes s and "," into buffer; returns the characters written.
    static int display(const std::string &s, char *buffer);
    // Copies s (with its terminator) into buffer.
    static void get_strlist(const std::string &s, char *buffer);
    // Logs "<label> Profile: <s>" in the profiles category; returns true.
    static bool show_p(const char *label, const std::string &s);
};

// A StringList of exactly two elements.
class Couple : public StringList {
public:
    explicit Couple(const std::string &text);
    std::string first() const { return (*this)[0]; }
    std::string second() const { return (*this)[1]; }
};

// One possible value of a select list.
struct StringSelect {
    std::string value;    // the word stored in the document
    std::string comment;  // label shown
    std::string desc;     // tooltip
    bool selected;

    StringSelect(const std::string &value, const std::string &comment, const std::string &desc, bool selected)
        : value(value), comment(comment), desc(desc), selected(selected) {}
};

class StringSelectVector : public std::vector<StringSelect> {
public:
    // Index of the first value equal to the given one ignoring case;
    // ConfigError when none is.
    int case_indexof(const std::string &value) const;
    // Clears every selected flag.
    void reset();
};

// An inclusive range of IPv4 addresses.
class IpRange {
public:
    std::string low_text;
    uint32_t low;
    std::string high_text;
    uint32_t high;

    // "a", "a-b", "a-" (to 255.255.255.255), "-b" (from 0.0.0.0) or "" (every
    // address). ConfigError for a malformed address.
    explicit IpRange(const std::string &text);
    // Whether the address lies in the range. Never throws: an address that
    // does not parse (a client header, garbage) lies outside every range.
    bool has(const std::string &address) const;
    bool has(uint32_t address) const { return low <= address && address <= high; }
};

class IpRangeList : public std::vector<IpRange> {
public:
    std::string text;  // the text the list was parsed from

    IpRangeList() {}
    explicit IpRangeList(const std::string &text) { parse(text); }
    // Keeps the text and appends one range per ","-separated element;
    // ConfigError for a malformed one.
    void parse(const std::string &text);
    // An empty list has every address; otherwise true when some range has
    // it. An address that does not parse is in no range. Never throws.
    bool has(const std::string &address) const;
};

// An inclusive range of ports (1 to 65535).
class PortRange {
public:
    int low;
    int high;

    // "p" or "p-q"; each part must be a whole number from 1 to 65535.
    explicit PortRange(const std::string &text);
    bool has(int port) const { return low <= port && port <= high; }
};

class PortRangeList : public std::vector<PortRange> {
public:
    PortRangeList() {}
    explicit PortRangeList(const std::string &text) { parse(text); }
    void parse(const std::string &text);
    // An empty list has every port.
    bool has(int port) const;
};

// One typed configuration value.
class Field {
public:
    bool enabled;         // a disabled field is never loaded, read or shown, but is saved
    std::string name;     // element name in both documents
    unsigned int type;    // FIELD_*
    std::string comment;  // label; error messages name the field by it
    std::string desc;     // help text
    int width;            // size of its text input in forms
    int low, high;        // inclusive bounds of an INT_RANGE
    bool optional;        // can be switched on and off
    bool active;          // whether an optional field is switched on
    int int_value;
    int int_value2;
    uint32_t uint_value;
    uint64_t ulonglong_value;
    std::string string_value;  // the value as text
    StringList string_list;
    IpRangeList ip_range_list;
    PortRangeList port_range_list;
    StringSelectVector select_vector;   // possible values with the selection
    StringSelectVector select_vector2;  // second copy: the second member of a STRING_RANGE
    double double_value;

    // Every type but the select types: parses the default text (ConfigError
    // when its type refuses it).
    Field(bool enabled, const std::string &name, const std::string &comment, const std::string &desc,
          const std::string &default_text, unsigned int type, bool optional);
    // The select types (STRING_SELECT_ONE, STRING_SELECT_MANY,
    // STRING_RANGE): both select copies start as given, text empty, values 0.
    Field(bool enabled, const std::string &name, const std::string &comment, const std::string &desc,
          const StringSelectVector &values, unsigned int type, bool optional);

    // Type code of a keyword ("INT", "UINT", ...); any other word is fatal.
    static unsigned int type_get(const std::string &keyword);
    // Keyword of a type code, or null for code 9 and unknown codes.
    static const char *type_name(unsigned int type);
    // Whether a type code is built from a select list.
    static bool is_select(unsigned int type);
    // What the text must be, for error messages.
    std::string nature() const;
    // The possible values joined by ",".
    std::string possible_values() const;

    // Appends the field's row to an entry's rows when it has something to
    // show (enabled, and active when optional, non-empty text otherwise);
    // flips *odd after a row.
    void display(Filebuf *page, bool *odd) const;

    // Web forms (key "F" and the position k): appends the field's input row
    // (nothing for a disabled field) and flips *odd after it; reads the value
    // back, throwing ConfigError when the field refuses it. A refused value
    // may leave the field half changed: callers read into a copy.
    void dialog_display(Filebuf *page, const CGIMap &form, int position, bool *odd) const;
    void read(const CGIMap &form, int position);

    // Configuration document (see xml.h): load from the cursor's element,
    // complain about a flawed value and end the program, append as a child.
    void load(XmlElement &cursor);
    [[noreturn]] void error_log(const XmlElement &cursor) const;
    // The same load, answering false for a value its type refuses (the text
    // is then the refused one); ConfigError for a wrong "active" attribute.
    bool load_value(XmlElement &cursor);
    // The complaint about the refused value, naming the cursor's place.
    std::string flaw(const XmlElement &cursor) const;
    void save(TiXmlElement *parent) const;
};

#endif
