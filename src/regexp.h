// Regular expressions over PCRE2: a match-only layer on PCRE2's POSIX-style
// wrapper for condition patterns, and a substitution layer on the native
// interface for rewrite and redirect rules.
#ifndef KORVANTEL_REGEXP_H
#define KORVANTEL_REGEXP_H

#ifndef PCRE2_CODE_UNIT_WIDTH
#define PCRE2_CODE_UNIT_WIDTH 8
#endif
#include <pcre2.h>

#include <string>
#include <vector>

#include "misc.h"

class Filebuf;

// A pattern compiled by PCRE2's POSIX-style wrapper. Opaque: the wrapper's
// regex_t clashes with the C library's <regex.h>, which other headers
// (GoogleTest's among them) bring in.
struct regex_posix_t;

// Option bits of reg_sub_compile and pcre_options.
enum {
    REG_SUB_CASELESS = 0x1,
    REG_SUB_MULTILINE = 0x2,
    REG_SUB_DOTALL = 0x4,
    REG_SUB_EXTENDED = 0x8,
    REG_SUB_UNGREEDY = 0x200,
};

// Captures per match: the whole match and 15 groups; a match that sets more
// counts as no match.
#define REG_SUB_MAX_CAPTURES 16

struct regex_sub_t {
    pcre2_code *pattern;  // optimised ("studied") when compiled
};

struct regmatch_sub_t {
    long long start;                   // offset of the whole match
    long long end;                     // offset just after it
    int count;                         // captured strings, the whole match included
    std::vector<std::string> strings;  // [0] whole match, then the groups (unset: "")
};

// Match layer. flags: 1 = case-insensitive (the only value callers use).
// Null (logged in LOG_ERROR) when the pattern does not compile.
regex_posix_t *reg_compile(const char *pattern, int flags);
// 0 when the text matches anywhere, non-zero otherwise (also for null input).
int reg_exec(const regex_posix_t *regex, const char *text);
// As reg_compile, and compiled on to machine code by PCRE2's JIT where the
// library can: for patterns run over long texts such as response bodies.
// Not for the many short host patterns, where the JIT's set-up per match
// costs more than it saves.
regex_posix_t *reg_compile_jit(const char *pattern, int flags);
// As reg_exec over text[0, length): the caller knows the length, and a zero
// byte within it is matched as any other byte.
int reg_exec_length(const regex_posix_t *regex, const char *text, size_t length);
void reg_free(regex_posix_t *regex);

// Substitution layer. options: the REG_SUB_* bits above; null (logged) when
// the pattern does not compile.
regex_sub_t *reg_sub_compile(const char *pattern, int options);
// First match in the NUL-terminated text, or null.
regmatch_sub_t *reg_sub_exec(const regex_sub_t *sub, const char *text);
// Expands a replacement in one pass: "@NAME@" a template variable ("@@" a
// literal "@"), "$n" a capture, "$$" a dollar, backslash escapes. Values and
// captures are inserted verbatim and never interpreted again. The result
// becomes a URL or header value, so CR and LF are dropped from inserted
// variable values and captures (the replacement's own "\r\n" stays).
char *reg_sub_parse(const regmatch_sub_t *match, const char *replacement, VARIABLES *variables);
// Replaces every match in the buffer (each search starts a new subject right
// after the previous match) by the expanded replacement, or removes it when
// the replacement is null; returns the number of matches. Captures are the
// buffer's own text and go back verbatim; CR and LF are dropped from inserted
// variable values so that a value can never add a line to a rewritten header.
int reg_replace(Filebuf *buffer, const regex_sub_t *sub, const char *replacement, VARIABLES *variables);
void reg_sub_free(regex_sub_t *sub);
void reg_sub_match_free(regmatch_sub_t *match);

// Option bits from letters (any case): i, m, s, x, u; others are ignored.
int pcre_options(const char *letters);
// Plain replacement of every occurrence of text (case-sensitive); a null
// replacement deletes them. Returns 0.
int string_replace(Filebuf *buffer, const char *text, const char *replacement);

#endif
