// URL blacklist: the "urlblacklist" section blocks requests whose host (and,
// for listed paths, whose path) is in a category of the blacklist database,
// a directory tree of plain-text lists read into memory once at start-up:
//   <directory>/<category>/domains   one domain a line: it and every host below it
//   <directory>/<category>/urls      a domain and a path a line: paths beginning
//                                    with it (any letter case), on that domain
//                                    or below it
// Lines are matched as written (request hosts are lower case); line ends
// (also CRLF) are removed, blank lines and lines starting with "#" skipped.
// Rules name categories and are decided by the allow/deny pattern
// (allowdeny.h) with a built-in default rule.
#ifndef KORVANTEL_URLBL_H
#define KORVANTEL_URLBL_H

#include <functional>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "allowdeny.h"
#include "field.h"
#include "section.h"

class CGIMap;
class Filebuf;
struct CONNECTION_T;

// One rule: fields 0 to 2 as every allow/deny rule, 3 categories, 4 template.
struct URLBL : public AllowDenyRule {
    StringList categories;
    std::string template_name;

    URLBL() {}
    explicit URLBL(const Item &item);
};

// Paths of a listed domain; empty: the whole domain.
typedef std::vector<std::string> URLBLPaths;
typedef std::map<std::string, URLBLPaths, std::less<>> URLBLDomains;
typedef std::map<std::string, URLBLDomains> URLBLDatabase;

class URLBLSection : public Section {
public:
    struct Options {
        const int *enabled = nullptr;
        const int *order = nullptr;                  // non-zero: the allow list first
        const std::string *path = nullptr;           // database directory
        const std::string *template_name = nullptr;  // used when the rule names none
    };
    Options opts;
    std::list<URLBL> allow;
    std::list<URLBL> deny;
    URLBL default_rule;
    URLBLDatabase database;

    // Builds the section and registers urlbl_reqcheck as a request check.
    URLBLSection();
    ~URLBLSection() override;
    void update() override;

    // Reads the database from the directory of option 2 (write lock taken
    // here). Start-up calls it once; an unreadable directory leaves the
    // database as it was.
    void load();
    // Reads one category's two files into its map (no lock).
    static void load_category(const std::string &directory, const std::string &category, URLBLDomains *domains);

    // The category of the database that a rule's categories list for the
    // host and path, or null. Caller holds the read lock.
    const std::string *match(const URLBL &rule, const std::string &host, const char *path) const;
    // The blocking rule or null; sets CATEGORY, FILTER and the log entry for
    // every match. Caller holds the read lock.
    const URLBL *check(CONNECTION_T *connection);
    // 1 when blocked and the page sent, else 0.
    int check_and_block(CONNECTION_T *connection);
};

extern URLBLSection *urlbl_section;

Section *urlbl_construct();

int urlbl_reqcheck(CONNECTION_T *connection, Filebuf *buffer);

// The body of the URL blacklist search page: a form with one checkbox per
// category and the patterns "domain" and "file"; with "show" = "true", the
// listed domains and paths of the checked categories that the patterns
// (case-insensitive regular expressions) match. Everything HTML-escaped.
void urlbl_page(Filebuf *page, const std::map<std::string, std::string> &form);
// The web interface page (pages table).
void interface_page_urlbl(Filebuf *page, CGIMap &form, CONNECTION_T *connection);

#endif
