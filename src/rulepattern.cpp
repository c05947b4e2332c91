#include "rulepattern.h"

#include <utility>

#include "regexp.h"

RulePattern::RulePattern(const std::string &text) : source(text) { compile(); }

RulePattern::RulePattern(const std::string &text, bool jit) : source(text), jit(jit) { compile(); }

RulePattern::RulePattern(const RulePattern &other) : RulePattern(other.source, other.jit) {}

void RulePattern::compile() {
    if (source.empty()) return;
    regex = jit ? reg_compile_jit(source.c_str(), 1) : reg_compile(source.c_str(), 1);
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
    : source(std::move(other.source)), jit(other.jit), regex(other.regex) {
    other.regex = nullptr;
    other.source.clear();
}

RulePattern &RulePattern::operator=(RulePattern &&other) noexcept {
    if (this == &other) return *this;
    if (regex) reg_free(regex);
    source = std::move(other.source);
    jit = other.jit;
    regex = other.regex;
    other.regex = nullptr;
    other.source.clear();
    return *this;
}

RulePattern::~RulePattern() {
    if (regex) reg_free(regex);
}

bool RulePattern::matches(const char *subject) const {
    if (source.empty()) return true;
    if (!regex || !subject) return false;
    return reg_exec(regex, subject) == 0;
}

bool RulePattern::matches(const char *subject, size_t length) const {
    if (source.empty()) return true;
    if (!regex || !subject) return false;
    return reg_exec_length(regex, subject, length) == 0;
}
