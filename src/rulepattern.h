// A condition pattern of a filter rule: the text as configured and its
// compiled form (case-insensitive). A rule owns its patterns; a copy
// compiles anew, so rules can live in ordinary containers.
#ifndef KORVANTEL_RULEPATTERN_H
#define KORVANTEL_RULEPATTERN_H

#include <stddef.h>

#include <string>

struct regex_posix_t;

class RulePattern {
public:
    RulePattern() {}
    // Compiles text unless it is empty; a text that does not compile is
    // logged by the regular-expression layer and leaves the pattern failed.
    explicit RulePattern(const std::string &text);
    // With jit, also compiled to machine code (reg_compile_jit): for patterns
    // run over whole bodies. Copies keep the choice.
    RulePattern(const std::string &text, bool jit);
    RulePattern(const RulePattern &other);
    RulePattern &operator=(const RulePattern &other);
    // Moves take the compiled form over without compiling again.
    RulePattern(RulePattern &&other) noexcept;
    RulePattern &operator=(RulePattern &&other) noexcept;
    ~RulePattern();

    const std::string &text() const { return source; }
    bool empty() const { return source.empty(); }
    // Configured, but did not compile: the rule carrying it must be refused
    // rather than lose this condition.
    bool failed() const { return !source.empty() && !regex; }
    // An empty pattern matches everything, a failed one nothing; a null
    // subject is matched by the empty pattern only.
    bool matches(const char *subject) const;
    // The same over subject[0, length), a zero byte within it included.
    bool matches(const char *subject, size_t length) const;

private:
    void compile();
    // Where a plain word is sought without the regular-expression engine.
    enum Literal { NOT_LITERAL, AT_START, ANYWHERE };

    std::string source;
    bool jit = false;
    regex_posix_t *regex = nullptr;
    // A pattern that is only a word ("text/html", "^text/") and is matched
    // against short texts (not a body) is matched by comparing bytes,
    // ignoring ASCII case as the compiled form does: the same answer for a
    // fraction of the cost, on every request.
    Literal literal = NOT_LITERAL;
    std::string word;
};

#endif
