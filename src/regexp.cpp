// Regular expressions over PCRE2.
#include "regexp.h"

#include <pcre2posix.h>

#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include "filebuf.h"
#include "log.h"
#include "mem.h"

struct regex_posix_t {
    regex_t compiled;
};

namespace {

const char REGEXP_FILE[] = "src/regexp";

// A template variable name is found among the 63 bytes after its "@".
const size_t VARIABLE_NAME_WINDOW = 63;

pcre2_match_data *match_data_new() {
    pcre2_match_data *data = pcre2_match_data_create(REG_SUB_MAX_CAPTURES, nullptr);
    if (!data) fatal_alloc(REGEXP_FILE, __LINE__, __func__, sizeof(PCRE2_SIZE) * 2 * REG_SUB_MAX_CAPTURES);
    return data;
}

// First match in subject[0, length) as a new record, or null. A match that
// sets more strings than the vector holds (rc 0), and any matching error such
// as a hit match limit, count as no match.
regmatch_sub_t *match_subject(const regex_sub_t *sub, const char *subject, size_t length, pcre2_match_data *data) {
    int rc = pcre2_match(sub->pattern, (PCRE2_SPTR)subject, length, 0, 0, data, nullptr);
    if (rc <= 0) return nullptr;
    const PCRE2_SIZE *vector = pcre2_get_ovector_pointer(data);
    if (vector[0] > vector[1] || vector[1] > length) return nullptr;
    regmatch_sub_t *match = new regmatch_sub_t;
    match->start = (long long)vector[0];
    match->end = (long long)vector[1];
    match->count = rc;
    match->strings.resize((size_t)rc);
    for (int i = 0; i < rc; i++) {
        PCRE2_SIZE from = vector[2 * i], to = vector[2 * i + 1];
        if (from != PCRE2_UNSET && to != PCRE2_UNSET && from <= to && to <= length)
            match->strings[(size_t)i].assign(subject + from, to - from);
    }
    return match;
}

void append_without_breaks(std::string &out, const std::string &value) {
    for (char c : value)
        if (c != '\r' && c != '\n') out += c;
}

// Expands a replacement in one walk, so that nothing inserted from a variable
// or a capture is read again as an escape, a "$n" or a variable name.
std::string expand(const regmatch_sub_t *match, const char *replacement, VARIABLES *variables,
                   bool keep_capture_breaks) {
    std::string out;
    const char *p = replacement;
    while (*p) {
        char c = *p;
        if (c == '@') {
            if (p[1] == '@') {
                out += '@';
                p += 2;
                continue;
            }
            size_t window = strnlen(p + 1, VARIABLE_NAME_WINDOW);
            const char *close = (const char *)memchr(p + 1, '@', window);
            if (!close) {
                out += c;
                p++;
                continue;
            }
            std::string name(p + 1, (size_t)(close - (p + 1)));
            if (variables) append_without_breaks(out, (*variables)[name]);
            p = close + 1;
        } else if (c == '$') {
            char next = p[1];
            if (!next) {
                out += '$';
                break;
            }
            if (next == '$') {
                out += '$';
            } else {
                // "$" and a character at or above "0" stands for that capture
                // when it exists; anything else after "$" is dropped with it.
                int index = (signed char)next - '0';
                if (index >= 0 && match && index < match->count && (size_t)index < match->strings.size()) {
                    const std::string &capture = match->strings[(size_t)index];
                    if (keep_capture_breaks) out += capture;
                    else append_without_breaks(out, capture);
                }
            }
            p += 2;
        } else if (c == '\\') {
            char next = p[1];
            if (!next) break;
            switch (next) {
                case 'a': out += '\a'; break;
                case 'e': out += '\x1b'; break;
                case 'f': out += '\f'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                default: out += next; break;
            }
            p += 2;
        } else {
            out += c;
            p++;
        }
    }
    return out;
}

}  // namespace

// ---- Match layer ----------------------------------------------------------

regex_posix_t *reg_compile(const char *pattern, int flags) {
    if (!pattern) return nullptr;
    regex_posix_t *regex = (regex_posix_t *)xmalloc(sizeof(regex_posix_t));
    if (!regex) fatal_alloc(REGEXP_FILE, __LINE__, __func__, sizeof(regex_posix_t));
    int cflags = (flags & 1) ? REG_ICASE : 0;
    if (regcomp(&regex->compiled, pattern, cflags) != 0) {
        putlog(LOG_ERROR, "failed to compile regular expression: %s", pattern);
        free(regex);
        return nullptr;
    }
    return regex;
}

namespace {

// The wrapper's regexec matches into data kept with the compiled pattern,
// which every worker using that rule would share (the library keeps its
// backtracking frames there): each thread matches into its own.
struct ThreadMatchData {
    pcre2_match_data *data = nullptr;
    ~ThreadMatchData() { pcre2_match_data_free(data); }
    pcre2_match_data *get() {
        if (!data) data = pcre2_match_data_create(1, nullptr);
        if (!data) fatal_alloc(REGEXP_FILE, __LINE__, "reg_exec", sizeof(PCRE2_SIZE) * 2);
        return data;
    }
};
thread_local ThreadMatchData thread_match_data;

}  // namespace

int reg_exec(const regex_posix_t *regex, const char *text) {
    if (!regex || !text) return REG_NOMATCH;
    return reg_exec_length(regex, text, strlen(text));
}

regex_posix_t *reg_compile_jit(const char *pattern, int flags) {
    regex_posix_t *regex = reg_compile(pattern, flags);
    // Without JIT support the pattern is simply interpreted.
    if (regex) pcre2_jit_compile((pcre2_code *)regex->compiled.re_pcre2_code, PCRE2_JIT_COMPLETE);
    return regex;
}

int reg_exec_length(const regex_posix_t *regex, const char *text, size_t length) {
    if (!regex || !text) return REG_NOMATCH;
    const pcre2_code *code = (const pcre2_code *)regex->compiled.re_pcre2_code;
    pcre2_match_data *data = thread_match_data.get();
    int rc = pcre2_match(code, (PCRE2_SPTR)text, length, 0, 0, data, nullptr);
    // A JIT-compiled pattern that needs more stack than the JIT's default
    // gets the interpreter, whose frames live on the heap.
    if (rc == PCRE2_ERROR_JIT_STACKLIMIT) rc = pcre2_match(code, (PCRE2_SPTR)text, length, 0, PCRE2_NO_JIT, data, nullptr);
    // rc 0: a match with more groups than the data holds, still a match.
    if (rc >= 0) return 0;
    return rc == PCRE2_ERROR_NOMATCH ? REG_NOMATCH : REG_ESPACE;
}

void reg_free(regex_posix_t *regex) {
    if (!regex) fatal_assert(REGEXP_FILE, 30, __func__);
    regfree(&regex->compiled);
    free(regex);
}

// ---- Substitution layer ---------------------------------------------------

regex_sub_t *reg_sub_compile(const char *pattern, int options) {
    if (!pattern) return nullptr;
    uint32_t native = 0;
    if (options & REG_SUB_CASELESS) native |= PCRE2_CASELESS;
    if (options & REG_SUB_MULTILINE) native |= PCRE2_MULTILINE;
    if (options & REG_SUB_DOTALL) native |= PCRE2_DOTALL;
    if (options & REG_SUB_EXTENDED) native |= PCRE2_EXTENDED;
    if (options & REG_SUB_UNGREEDY) native |= PCRE2_UNGREEDY;
    int error = 0;
    PCRE2_SIZE offset = 0;
    pcre2_code *code = pcre2_compile((PCRE2_SPTR)pattern, PCRE2_ZERO_TERMINATED, native, &error, &offset, nullptr);
    if (!code) {
        putlog(LOG_ERROR, "failed to compile regular expression: %s", pattern);
        return nullptr;
    }
    regex_sub_t *sub = (regex_sub_t *)xmalloc(sizeof(regex_sub_t));
    if (!sub) fatal_alloc(REGEXP_FILE, __LINE__, __func__, sizeof(regex_sub_t));
    sub->pattern = code;
    return sub;
}

regmatch_sub_t *reg_sub_exec(const regex_sub_t *sub, const char *text) {
    if (!sub || !text) return nullptr;
    pcre2_match_data *data = match_data_new();
    regmatch_sub_t *match = match_subject(sub, text, strlen(text), data);
    pcre2_match_data_free(data);
    return match;
}

char *reg_sub_parse(const regmatch_sub_t *match, const char *replacement, VARIABLES *variables) {
    std::string out = expand(match, replacement ? replacement : "", variables, false);
    char *text = (char *)xmalloc(out.size() + 1);
    if (!text) fatal_alloc(REGEXP_FILE, __LINE__, __func__, out.size() + 1);
    memcpy(text, out.data(), out.size());
    return text;
}

int reg_replace(Filebuf *buffer, const regex_sub_t *sub, const char *replacement, VARIABLES *variables) {
    if (!buffer || !sub) return 0;
    const char *data = buffer->data ? buffer->data : "";
    const size_t size = buffer->data && buffer->size > 0 ? (size_t)buffer->size : 0;
    pcre2_match_data *match_data = match_data_new();
    std::string out;
    size_t position = 0;
    int count = 0;
    for (;;) {
        regmatch_sub_t *match = match_subject(sub, data + position, size - position, match_data);
        if (!match) break;
        out.append(data + position, (size_t)match->start);
        if (replacement) out += expand(match, replacement, variables, true);
        if (count < INT_MAX) count++;
        bool empty = match->start == match->end;
        position += (size_t)match->end;
        reg_sub_match_free(match);
        if (empty) {
            // An empty match: step over one character so the search moves on.
            if (position >= size) break;
            out += data[position++];
        }
    }
    pcre2_match_data_free(match_data);
    if (count > 0) {
        out.append(data + position, size - position);
        buffer->Resize(0);
        if (!out.empty()) buffer->Add(out.data(), (long long)out.size());
    }
    return count;
}

void reg_sub_free(regex_sub_t *sub) {
    if (!sub) return;
    pcre2_code_free(sub->pattern);
    free(sub);
}

void reg_sub_match_free(regmatch_sub_t *match) { delete match; }

int pcre_options(const char *letters) {
    int options = 0;
    for (const char *p = letters ? letters : ""; *p; p++) {
        switch (*p) {
            case 'i':
            case 'I': options |= REG_SUB_CASELESS; break;
            case 'm':
            case 'M': options |= REG_SUB_MULTILINE; break;
            case 's':
            case 'S': options |= REG_SUB_DOTALL; break;
            case 'x':
            case 'X': options |= REG_SUB_EXTENDED; break;
            case 'u':
            case 'U': options |= REG_SUB_UNGREEDY; break;
            default: break;
        }
    }
    return options;
}

int string_replace(Filebuf *buffer, const char *text, const char *replacement) {
    if (!buffer || !buffer->data || buffer->size <= 0 || !text || !*text) return 0;
    const char *data = buffer->data;
    const size_t size = (size_t)buffer->size;
    const size_t length = strlen(text);
    std::string out;
    size_t position = 0;
    bool found_any = false;
    while (position < size) {
        const char *hit = (const char *)memmem(data + position, size - position, text, length);
        if (!hit) break;
        found_any = true;
        out.append(data + position, (size_t)(hit - (data + position)));
        if (replacement) out += replacement;
        position = (size_t)(hit - data) + length;
    }
    if (found_any) {
        out.append(data + position, size - position);
        buffer->Resize(0);
        if (!out.empty()) buffer->Add(out.data(), (long long)out.size());
    }
    return 0;
}
