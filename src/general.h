// The proxy engine's tunables: the "general" section (program-wide options
// and per-profile rules giving each connection its time-outs, buffer limits,
// CONNECT ports, compression choices and forwarding headers) and the "ftp"
// section (the FTP gateway's options).
//
// Other subsystems read these values only through the getters below; each
// takes the section's read lock for the look-up only. A null connection
// counts as one without profiles.
#ifndef KORVANTEL_GENERAL_H
#define KORVANTEL_GENERAL_H

#include <list>
#include <string>

#include "field.h"
#include "section.h"

struct CONNECTION_T;
struct regex_posix_t;

// Values of the per-connection getters when no rule matches.
#define GENERAL_DEFAULT_TIMEOUT 60

// One rule of the "general" section, built from one entry.
class General {
public:
    bool enabled;
    std::string comment;
    StringList profiles;       // profile condition
    int ctimeout;              // connect time-out, seconds
    int timeout;               // head and transfer time-out, seconds
    int keeptimeout;           // keep-alive time-out, seconds
    unsigned int maxdbuffer;   // bytes
    unsigned int maxubuffer;   // bytes
    int bufferwait;            // seconds; 0 none
    PortRangeList cportrange;  // ports a CONNECT may reach; empty: all
    std::string encodemime_text;
    regex_posix_t *encodemime;  // null when the text is empty or does not compile
    int compressout;
    int compressin;
    int xforwardedfor;
    int via;

    // From an entry's fields; missing fields keep the no-rule values.
    explicit General(const Item &item);
    // Copies compile the pattern anew; a rule frees its own.
    General(const General &other);
    General &operator=(const General &other);
    ~General();
};

class GeneralSection : public Section {
public:
    // The options, bound in place for the whole run.
    struct Options {
        const std::string *hostname = nullptr;  // the proxy's host name
        const std::string *tempdir = nullptr;   // directory for temporary files
        const int *linelength = nullptr;
        const int *poolsize = nullptr;
        const int *pooltimeout = nullptr;  // seconds
    };
    Options opts;
    std::list<General> rules;  // in entry order

    // Builds the section and wires the network layer's and the client
    // pool's time-out seams to it.
    GeneralSection();
    ~GeneralSection() override;
    // Rebuilds the rules and publishes the line length (framework, write
    // lock held).
    void update() override;

    // First enabled rule whose profile condition holds for the connection's
    // profiles; null when none. The caller holds the lock.
    const General *find(const CONNECTION_T *connection);

    // Per-connection values (no rule: 60, 60, 60, 0, 0, 0).
    int ctimeout_get(const CONNECTION_T *connection);
    int timeout_get(const CONNECTION_T *connection);
    int keeptimeout_get(const CONNECTION_T *connection);
    unsigned int maxdbuffer_get(const CONNECTION_T *connection);
    unsigned int maxubuffer_get(const CONNECTION_T *connection);
    int bufferwait_get(const CONNECTION_T *connection);
    // Whether a CONNECT may reach the port (no rule: every port).
    bool cportrange_check(const CONNECTION_T *connection, int port);
    // 1 when the rule has a MIME pattern and it matches mime, else 0.
    int encodemime_check(const CONNECTION_T *connection, const char *mime);
    // Switches (no rule: 0).
    int compressout_get(const CONNECTION_T *connection);
    int compressin_get(const CONNECTION_T *connection);
    int xforwardedfor_get(const CONNECTION_T *connection);
    int via_get(const CONNECTION_T *connection);

    // Section options, read under the lock.
    std::string hostname_get();
    std::string tempdir_get();
    int linelength_get();
    int poolsize_get();
    int pooltimeout_get();

private:
    template <typename T, typename F>
    T rule_value(const CONNECTION_T *connection, T fallback, F get);
    std::string option_string(const std::string *value);
};

extern GeneralSection *general_section;

// The name this proxy goes by: option -H when given, else the general
// section's host name (empty when there is no section).
std::string proxy_name_get();

// Builds the section (and sets general_section), for the section registry.
Section *general_construct();

// The connection's time-outs in seconds, from general_section (the default
// while there is none).
int general_timeout(const CONNECTION_T *connection);
int general_ctimeout(const CONNECTION_T *connection);
// general_timeout(), with a rule's 0 or less read as the default: for waits
// that must end.
int general_wait_timeout(const CONNECTION_T *connection);

class FtpSection : public Section {
public:
    // The options, bound in place for the whole run.
    struct Options {
        const int *passive = nullptr;       // 1 for passive data connections
        const int *timeout = nullptr;       // dialogue time-out, seconds
        const std::string *user = nullptr;  // login for URLs without a user
        const std::string *password = nullptr;
        const int *sortorder = nullptr;  // 0 ascending, 1 descending
        const int *sortfield = nullptr;  // 0 none, 1 name, 2 size, 3 date
    };
    Options opts;

    FtpSection();
    ~FtpSection() override;
    // No rules: nothing to rebuild.
    void update() override {}

    int passive_get();
    int timeout_get();
    int sortorder_get();
    int sortfield_get();
    // The login, copied under one read lock.
    void login_get(std::string *user, std::string *password);
};

extern FtpSection *ftp_section;

Section *ftp_construct();

#endif
