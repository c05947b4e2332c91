#include "rulepattern.h"

#include <utility>

#include "regexp.h"

RulePattern::RulePattern(const std::string &text) : source(text) {
    if (!source.empty()) regex = reg_compile(source.c_str(), 1);
}

RulePattern::RulePattern(const RulePattern &other) : RulePattern(other.source) {}

RulePattern &RulePattern::operator=(const RulePattern &other) {
    if (this == &other) return *this;
    if (regex) reg_free(regex);
    regex = nullptr;
    source = other.source;
    if (!source.empty()) regex = reg_compile(source.c_str(), 1);
    return *this;
}

RulePattern::RulePattern(RulePattern &&other) noexcept : source(std::move(other.source)), regex(other.regex) {
    other.regex = nullptr;
    other.source.clear();
}

RulePattern &RulePattern::operator=(RulePattern &&other) noexcept {
    if (this == &other) return *this;
    if (regex) reg_free(regex);
    source = std::move(other.source);
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
