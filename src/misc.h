// String, string-array and URL utilities. Functions returning text return a
// newly allocated string the caller frees with free().
#ifndef KORVANTEL_MISC_H
#define KORVANTEL_MISC_H

#include <netinet/in.h>
#include <stddef.h>

#include <map>
#include <string>

class Filebuf;

// Template variables of a request (name -> value).
typedef std::map<std::string, std::string> VARIABLES;

// Bounded strings
char *s_strncpy(char *destination, const char *source, size_t size);
char *s_strncat(char *destination, const char *source, size_t size);
size_t s_strnlen(const char *text, size_t n);
char *string_append(char *text, const char *addition);
char *string_tolower(char *text);
const char *s_strcasestr(const char *haystack, const char *needle);
int signed_to_unsigned_char(unsigned char *destination, const char *text, int bytes);
int isempty(const char *text, int n);
int isip(const char *text);

// NULL-terminated string arrays
char **string_break(const char *text, char separator);
int array_length(char *const *array);
void array_free(char **array);
char **array_dup(char *const *array);
char **array_add(char **array, const char *text);
char **array_delete(char **array, const char *text);
int array_find(char *const *array, const char *text);
char *array_merge(char *const *array, char separator);

struct STACK_T {
    STACK_T *next;
    STACK_T *prev;
    char *text;
};
void stack_free(STACK_T *node);

// URLs
struct URL {
    char *user;
    char *password;
    char *protocol;
    char *host;
    char *file;
    int port;
};
URL *url_parse(const char *text);
char *url_create(const URL *url);
void url_free(URL *url);
int urlcmp(const URL *a, const URL *b);
char *url_strip(char *text);
char *url_path_fix(const char *path);
int protocol_port(const char *scheme);
char *url_encode(const char *text, int n);
// Decodes the first n characters (n < 0: all): '+' is a blank and '%' with
// two hexadecimal digits the byte they spell; any other '%' stays as it is.
char *url_decode(const char *text, int n);
// The same, with the length of the decoded bytes in *length: more than the
// text's strlen when "%00" put a NUL into it.
char *url_decode(const char *text, int n, size_t *length);
// The value of a hexadecimal digit, -1 for any other character.
int hex_digit(char c);

// Other
char **cmdline_parse(const char *text);
char *resolve_path(const char *path);
char *path_to_url(const char *path);
// HTML-escaped text for a page (quotes, angle brackets and ampersands). Flags:
// 1 line feeds become <br> (alone, long lines also break at the interface's
// line length), 2 blanks become &nbsp;, 4 a backslash goes before what a
// script string or pattern would read.
std::string html_escape(const char *text, int flags = 0);
inline std::string html_escape(const std::string &text, int flags = 0) { return html_escape(text.c_str(), flags); }
// The same, allocated.
char *string_to_html(const char *text, int flags);
// With html, every value is HTML-escaped as it goes into the page.
void variables_parse(VARIABLES *variables, Filebuf *buffer, bool html = false);
char *filesize(unsigned long long bytes);
void md5_string(const char *text, char *out /* 33 bytes */);
const char *code_to_error(int status);
const char *error_to_template(int code);
char *ftpport_create(const struct sockaddr_in *address);
struct sockaddr_in *ftpport_parse(const char *text);
char *mode_create(unsigned int mode);
unsigned int mode_parse(const char *text);

// Line length of HTML line breaking (general settings); 0 disables it.
// The general section sets it whenever its rules change.
extern int html_line_length;

#endif
