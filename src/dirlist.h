// FTP directory listings: the Unix long listing form parsed into entries
// that can be sorted and filtered, and the HTML page the FTP gateway shows
// for a directory.
#ifndef KORVANTEL_DIRLIST_H
#define KORVANTEL_DIRLIST_H

#include <stdint.h>
#include <time.h>

#include <string>

class Filebuf;
struct CONNECTION_T;

// Longest listing line that is parsed; a longer one is skipped as
// unparsable.
#define DIRLIST_LINE_MAX 4096

// One listing entry; entries form a doubly linked list in listing order.
struct dir_t {
    dir_t *next = nullptr;
    dir_t *prev = nullptr;
    int directory = 0;  // 1 when the permission text begins with 'd'
    unsigned mode = 0;  // permission bits (mode_parse)
    std::string owner;
    std::string group;    // "unknown" for listings without one
    uint64_t size = 0;    // 64-bit: listings of files past 4 GiB give their true length
    struct tm date = {};  // date and time columns as listed
    std::string name;     // directories end with '/'
    time_t time = 0;      // date converted as local time
};

// Sort orders and fields of dir_list_sort.
enum { DIRLIST_ASCENDING = 0, DIRLIST_DESCENDING = 1 };
enum { DIRLIST_NONE = 0, DIRLIST_NAME = 1, DIRLIST_SIZE = 2, DIRLIST_DATE = 3 };

// Parses a listing into a new list (null when it holds no entry). Lines
// that do not fit the layout of the first entry line are logged and skipped.
// now: the time whose year dates without a year take (0: the current time).
dir_t *dir_list_parse(const Filebuf *listing, time_t now = 0);
// Appends entry to the list whose first entry is *list (fills in its time
// and the '/' of a directory name).
void dir_list_add(dir_t **list, dir_t *entry);
// Sorts by field in order; returns the new first entry.
dir_t *dir_list_sort(dir_t *list, int order, int field);
// Keeps the entries whose name matches pattern (case-insensitive); an
// invalid pattern keeps every entry. Returns the new first entry.
dir_t *dir_list_filter(dir_t *list, const char *pattern);
void dir_list_free(dir_t *list);
// The entry whose name is exactly name, or null.
dir_t *dir_list_find(dir_t *list, const char *name);

// Percent-encoding of one path segment for a link (every byte outside the
// unreserved characters).
std::string dir_link_encode(const std::string &text);

// The listing page for the connection's directory; sends it as the whole
// response.
void show_dirlist(CONNECTION_T *connection, dir_t *list);
// The raw listing as text in a page; sends it as the whole response.
void show_rawlist(CONNECTION_T *connection, Filebuf *listing);

#endif
