// External programs. `external_exec` runs one configured command line as a
// child process whose whole environment is the connection's template
// variables, feeds it a buffer (on standard input, or as a temporary file
// named by its last argument) and collects its standard output; the
// templates section uses it for pages a program writes. The "external"
// section passes requests, request bodies and buffered responses through
// such programs: a program answers with an HTTP head and a body that replace
// the request or the response, and may name the user ("X-username") and add
// profiles ("X-profiles"); a rule flagged as authenticator runs once at the
// authentication stage.
//
// A program runs with /dev/null on standard error and no other descriptor of
// the proxy; one that stays silent longer than the general time-out, or
// writes more than EXTERNAL_OUTPUT_MAX bytes, is killed. A program ended by
// a signal reports 128 + the signal, and nothing of its output is applied.
#ifndef KORVANTEL_EXTERNAL_H
#define KORVANTEL_EXTERNAL_H

#include <string>
#include <vector>

#include "section.h"

class Filebuf;
struct CONNECTION_T;
struct HEADER;

// Input modes of external_exec.
enum { EXTERNAL_PIPE = 0, EXTERNAL_TEMPFILE = 1 };
// Stage bits of a rule.
enum { EXTERNAL_REQUEST = 1, EXTERNAL_RESPONSE = 2, EXTERNAL_AUTH = 4 };
// Header bits of a rule: heads put in front of the input.
enum { EXTERNAL_REQUEST_HEAD = 1, EXTERNAL_RESPONSE_HEAD = 2 };
// Bit of CONNECTION_T::auth_flags: an authenticator program refused.
enum { AUTH_EXTERNAL_REFUSED = 0x1 };

// Most output collected from one program.
#define EXTERNAL_OUTPUT_MAX ((long long)256 * 1024 * 1024)

// How one run ended.
struct EXTERNAL_RUN {
    int status = -1;        // exit code 0-255, or 128 + the signal that ended it
    bool signaled = false;  // ended by a signal (killed for a time-out included)
    bool timed_out = false;
};

// Runs the command line with the input (may be null) and returns its
// standard output as a new buffer, or null when the pipes, the temporary
// file or the child could not be made. status (when given) receives the
// exit code, 128 + the signal for a program ended by one.
Filebuf *external_exec(CONNECTION_T *connection, const char *command, Filebuf *input, int mode, int *status);
// The same with the whole outcome.
Filebuf *external_run(CONNECTION_T *connection, const char *command, Filebuf *input, int mode, EXTERNAL_RUN *run);

// A program's output read as a head and the body after it.
struct EXTERNAL_OUTPUT {
    HEADER *head = nullptr;  // the parsed head (caller frees), null when the output begins with no valid one
    bool response = false;   // the first line is a status line, so the head replaces a response
    size_t body = 0;         // offset of the body: past the head's empty line
};
// Reads size bytes of output (data may be null when there are none).
EXTERNAL_OUTPUT external_output_parse(const char *data, size_t size);

class ExternalSection : public Section {
public:
    struct External {
        bool enabled = false;
        std::string comment;
        StringList profiles;
        std::string command;  // empty: the rule never applies
        int mode = 0;         // EXTERNAL_TEMPFILE: the input as a file
        int stages = 0;       // EXTERNAL_* stage bits
        bool authenticator = false;
        int heads = 0;  // EXTERNAL_*_HEAD bits
    };
    struct Options {
        const int *enabled = nullptr;
    };

    Options opts;
    std::vector<External> rules;

    // Builds the section and registers its processors: request
    // modification, response modification, authentication, buffering check.
    ExternalSection();
    ~ExternalSection() override;
    void update() override;

    // 1 when some rule would run for a stage among bits.
    int check_match(CONNECTION_T *connection, int bits);
    // Runs every rule of the stages in bits on the connection and body.
    void process(CONNECTION_T *connection, Filebuf *body, int bits);
};

extern ExternalSection *external_section;

int external_reqmod(CONNECTION_T *connection, Filebuf *body);
int external_respmod(CONNECTION_T *connection, Filebuf *body);
int external_auth(CONNECTION_T *connection, Filebuf *body);
int external_buffcheck(CONNECTION_T *connection, Filebuf *unused);

// Builds the section (and sets external_section), for the section registry.
Section *external_construct();

#endif
