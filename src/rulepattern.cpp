#include "rulepattern.h"

#include <string.h>

#include <utility>

#include "regexp.h"

RulePattern::RulePattern(const std::string &text) : source(text) { compile(); }

RulePattern::RulePattern(const std::string &text, bool jit) : source(text), jit(jit) { compile(); }

RulePattern::RulePattern(const RulePattern &other) : RulePattern(other.source, other.jit) {}

// Bytes that stand for themselves in a pattern: letters, digits and a few
// punctuation marks that are no operators.
static bool plain_byte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           (c != '\0' && strchr("/-_:;=,@!~%&' <>\"", c) != nullptr);
}

void RulePattern::compile() {
    literal = NOT_LITERAL;
    word.clear();
    if (source.empty()) return;
    regex = jit ? reg_compile_jit(source.c_str(), 1) : reg_compile(source.c_str(), 1);
    // Patterns run over whole bodies are left to the compiled code, which
    // scans long texts far faster than a byte-by-byte comparison.
    if (!regex || jit) return;
    size_t start = source[0] == '^' ? 1 : 0;
    if (start == source.size()) return;
    for (size_t i = start; i < source.size(); i++)
        if (!plain_byte(source[i])) return;
    literal = start ? AT_START : ANYWHERE;
    word = source.substr(start);
}

// ASCII letters only, whatever the locale: as the compiled patterns fold.
static unsigned char ascii_lower(unsigned char c) { return c >= 'A' && c <= 'Z' ? (unsigned char)(c + 32) : c; }

static bool same_ignoring_case(const char *a, const char *b, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (ascii_lower((unsigned char)a[i]) != ascii_lower((unsigned char)b[i])) return false;
    return true;
}

static bool literal_matches(const std::string &word, bool at_start, const char *subject, size_t length) {
    size_t n = word.size();
    if (n > length) return false;
    if (at_start) return same_ignoring_case(subject, word.data(), n);
    for (size_t at = 0; at + n <= length; at++)
        if (same_ignoring_case(subject + at, word.data(), n)) return true;
    return false;
}

RulePattern &RulePattern::operator=(const RulePattern &other) {
    if (this == &other) return *this;
    if (regex) reg_free(regex);
    regex = nullptr;
    source = other.source;
    jit = other.jit;
    compile();
    return *this;
}

RulePattern::RulePattern(RulePattern &&other) noexcept
    : source(std::move(other.source)),
      jit(other.jit),
      regex(other.regex),
      literal(other.literal),
      word(std::move(other.word)) {
    other.regex = nullptr;
    other.source.clear();
    other.literal = NOT_LITERAL;
}

RulePattern &RulePattern::operator=(RulePattern &&other) noexcept {
    if (this == &other) return *this;
    if (regex) reg_free(regex);
    source = std::move(other.source);
    jit = other.jit;
    regex = other.regex;
    literal = other.literal;
    word = std::move(other.word);
    other.regex = nullptr;
    other.source.clear();
    other.literal = NOT_LITERAL;
    return *this;
}

RulePattern::~RulePattern() {
    if (regex) reg_free(regex);
}

bool RulePattern::matches(const char *subject) const {
    if (source.empty()) return true;
    if (!regex || !subject) return false;
    if (literal != NOT_LITERAL) return literal_matches(word, literal == AT_START, subject, strlen(subject));
    return reg_exec(regex, subject) == 0;
}

bool RulePattern::matches(const char *subject, size_t length) const {
    if (source.empty()) return true;
    if (!regex || !subject) return false;
    if (literal != NOT_LITERAL) return literal_matches(word, literal == AT_START, subject, length);
    return reg_exec_length(regex, subject, length) == 0;
}
