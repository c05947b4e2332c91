// Templates: every page the proxy answers with itself (errors, blocks,
// limits, the download status page, the web interface's images and style)
// is a named body with a MIME type. The "templates" section holds rules that
// replace a template by a file or by a program's output, per profile; names
// without an enabled matching rule fall back to the built-in pages (PAGES).
//
// TemplateSection::send is the one way a block or error page reaches the
// client: the page becomes the whole response and fills the request's log
// record (not written). The section object is `template_section`.
#ifndef KORVANTEL_TEMPLATES_H
#define KORVANTEL_TEMPLATES_H

#include <string>
#include <vector>

#include "field.h"
#include "section.h"

class Filebuf;
struct CONNECTION_T;

// Host name of the web interface: requests for it are answered by the proxy
// itself, and the built-in pages take it as their base address. ".invalid"
// is reserved, so no real server can have it.
#define INTERFACE_HOST "korvantel.invalid"

// One built-in page. length -1: the body runs up to its first NUL byte.
struct TEMPLATE_PAGE {
    const char *name;  // null in the row that ends the table
    const char *data;
    const char *mime_type;
    int length;
    int parse;  // 1: template variables are substituted
};

// The built-in pages in table order, ended by a row with a null name.
extern const TEMPLATE_PAGE PAGES[];

// Row of the built-in page of that name (compared without regard to case),
// or null.
const TEMPLATE_PAGE *template_page_find(const char *name);

// Types of a rule's content.
enum { TEMPLATE_FILE = 0, TEMPLATE_PROGRAM = 1 };

class TemplateSection : public Section {
public:
    // The options, bound in place for the whole run.
    struct Options {
        const std::string *path = nullptr;  // directory of relative file names
    };
    // One rule, built from one entry.
    struct Template {
        bool enabled = false;
        std::string comment;
        StringList profiles;  // profile condition
        std::string name;     // template name, compared without regard to case
        std::string file;     // file name or command line; empty: the built-in page
        std::string mime;     // MIME type of a file template; empty: none
        int status = 0;       // status sent instead of the caller's
        int type = 0;         // TEMPLATE_FILE, TEMPLATE_PROGRAM; other values give nothing
        bool parse = false;   // substitute variables in a file's or program's body
    };

    Options opts;
    std::vector<Template> templates;

    TemplateSection();

    // Rebuilds the rules from the first subsection's entries, in order
    // (framework calls it under the write lock).
    void update() override;

    // The template as a new buffer with its mime_type set, or null when there
    // is none of that name. When a rule matched and status is given, the
    // rule's status is stored there when it is a real status (100 to 599).
    // A program template's head becomes the connection's response head and
    // the previous one is freed: re-read connection->response afterwards.
    Filebuf *get(CONNECTION_T *connection, const char *name, int *status = nullptr);
    // Appends the template's bytes to page; 1, or 0 when there is none.
    int insert(CONNECTION_T *connection, Filebuf *page, const char *name);
    // Sends the template as the whole response to the client (body left out
    // for HEAD) with the matched rule's status, or else `status`; fills the
    // log record (TCP_MISS, DIRECT, status, size, MIME type) unwritten.
    // 1 when sent; 0 when there is no such template or the client was
    // dropped, and then nothing is sent and the connection's response head
    // is left as it was. A refusal takes the rule's status only when it is
    // an error status (400 to 599): a refused request is never answered as
    // a success.
    int send(const char *name, CONNECTION_T *connection, int status, bool refusal = false);

private:
    // get() with the read lock held; depth counts nested look-ups (the
    // style block of a built-in HTML page).
    Filebuf *lookup(CONNECTION_T *connection, const char *name, int *status, int depth);
    Filebuf *builtin(CONNECTION_T *connection, const TEMPLATE_PAGE *page, int depth);
};

extern TemplateSection *template_section;

// Builds the section (and sets template_section), for the section class
// registry.
Section *templates_construct();

// Sends the template page `name` with `status` as the whole answer. When no
// template of that name exists anywhere, a short plain-text page with the
// status, so the client is never left waiting for an answer.
void request_page(CONNECTION_T *connection, const char *name, int status);

// request_page for a request refused by the access rules, a filter or a
// limit: the template's own status is used only when it is 400 to 599,
// else `status` (403 unless the caller has its own).
void refusal_page(CONNECTION_T *connection, const char *name, int status = 403);

#endif
