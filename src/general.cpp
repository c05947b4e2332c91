#include "general.h"

#include <string.h>

#include "clientpool.h"
#include "connection.h"
#include "misc.h"
#include "network.h"
#include "profiles.h"
#include "regexp.h"
#include "settings.h"

/* ---- the "general" section ---- */

GeneralSection *general_section = nullptr;

const FIELD_READ GeneralSection::reads[] = {
    {READ_OPTION, 0, 0, FIELD_STRING},
    {READ_OPTION, 0, 1, FIELD_STRING},
    {READ_OPTION, 0, 2, FIELD_INT},
    {READ_OPTION, 0, 3, FIELD_INT},
    {READ_OPTION, 0, 4, FIELD_INT},
    {READ_ENTRY, 0, 0, FIELD_BOOL},
    {READ_ENTRY, 0, 1, FIELD_STRING},
    {READ_ENTRY, 0, 2, FIELD_STRING_LIST},
    {READ_ENTRY, 0, 3, FIELD_INT},
    {READ_ENTRY, 0, 4, FIELD_INT},
    {READ_ENTRY, 0, 5, FIELD_INT},
    {READ_ENTRY, 0, 6, FIELD_FILE_SIZE},
    {READ_ENTRY, 0, 7, FIELD_FILE_SIZE},
    {READ_ENTRY, 0, 8, FIELD_INT},
    {READ_ENTRY, 0, 9, FIELD_PORT_RANGE_LIST},
    {READ_ENTRY, 0, 10, FIELD_STRING},
    {READ_ENTRY, 0, 11, FIELD_BOOL},
    {READ_ENTRY, 0, 12, FIELD_BOOL},
    {READ_ENTRY, 0, 13, FIELD_BOOL},
    {READ_ENTRY, 0, 14, FIELD_BOOL},
};
const int GeneralSection::read_count = sizeof GeneralSection::reads / sizeof GeneralSection::reads[0];

Section *general_construct() {
    general_section = new GeneralSection();
    return general_section;
}

General::General(const Item &item)
    : enabled(false), ctimeout(GENERAL_DEFAULT_TIMEOUT), timeout(GENERAL_DEFAULT_TIMEOUT),
      keeptimeout(GENERAL_DEFAULT_TIMEOUT), maxdbuffer(0), maxubuffer(0), bufferwait(0), encodemime(nullptr),
      compressout(0), compressin(0), xforwardedfor(0), via(0) {
    const FieldVector &f = item.fields;
    // An entry shorter than the definition (a drifted document) keeps the
    // no-rule values for what it lacks rather than reading out of range.
    const size_t n = f.size();
    if (n > 0) enabled = f[0].int_value != 0;
    if (n > 1) comment = f[1].string_value;
    if (n > 2) profiles = f[2].string_list;
    if (n > 3) ctimeout = f[3].int_value;
    if (n > 4) timeout = f[4].int_value;
    if (n > 5) keeptimeout = f[5].int_value;
    if (n > 6) maxdbuffer = f[6].uint_value;
    if (n > 7) maxubuffer = f[7].uint_value;
    if (n > 8) bufferwait = f[8].int_value;
    if (n > 9) cportrange = f[9].port_range_list;
    if (n > 10) encodemime_text = f[10].string_value;
    if (n > 11) compressout = f[11].int_value;
    if (n > 12) compressin = f[12].int_value;
    if (n > 13) xforwardedfor = f[13].int_value;
    if (n > 14) via = f[14].int_value;
    if (!encodemime_text.empty()) encodemime = reg_compile(encodemime_text.c_str(), 1);
}

General::General(const General &other)
    : enabled(other.enabled), comment(other.comment), profiles(other.profiles), ctimeout(other.ctimeout),
      timeout(other.timeout), keeptimeout(other.keeptimeout), maxdbuffer(other.maxdbuffer),
      maxubuffer(other.maxubuffer), bufferwait(other.bufferwait), cportrange(other.cportrange),
      encodemime_text(other.encodemime_text), encodemime(nullptr), compressout(other.compressout),
      compressin(other.compressin), xforwardedfor(other.xforwardedfor), via(other.via) {
    if (!encodemime_text.empty()) encodemime = reg_compile(encodemime_text.c_str(), 1);
}

General &General::operator=(const General &other) {
    if (this == &other) return *this;
    General copy(other);
    std::swap(enabled, copy.enabled);
    std::swap(comment, copy.comment);
    std::swap(profiles, copy.profiles);
    std::swap(ctimeout, copy.ctimeout);
    std::swap(timeout, copy.timeout);
    std::swap(keeptimeout, copy.keeptimeout);
    std::swap(maxdbuffer, copy.maxdbuffer);
    std::swap(maxubuffer, copy.maxubuffer);
    std::swap(bufferwait, copy.bufferwait);
    std::swap(cportrange, copy.cportrange);
    std::swap(encodemime_text, copy.encodemime_text);
    std::swap(encodemime, copy.encodemime);
    std::swap(compressout, copy.compressout);
    std::swap(compressin, copy.compressin);
    std::swap(xforwardedfor, copy.xforwardedfor);
    std::swap(via, copy.via);
    return *this;
}

General::~General() {
    if (encodemime) reg_free(encodemime);
}

// Seams of the network layer and the client pool. They go through the
// exported pointer so that they stay harmless once the section is gone.
static int general_ctimeout_hook(CONNECTION_T *connection) {
    GeneralSection *section = general_section;
    return section ? section->ctimeout_get(connection) : GENERAL_DEFAULT_TIMEOUT;
}

static int general_timeout_hook(CONNECTION_T *connection) {
    GeneralSection *section = general_section;
    return section ? section->timeout_get(connection) : GENERAL_DEFAULT_TIMEOUT;
}

static int general_keeptimeout_hook(CONNECTION_T *connection) {
    GeneralSection *section = general_section;
    return section ? section->keeptimeout_get(connection) : GENERAL_DEFAULT_TIMEOUT;
}

// What the seams held before the first section took them over.
static int (*saved_ctimeout)(CONNECTION_T *) = nullptr;
static int (*saved_timeout)(CONNECTION_T *) = nullptr;
static int (*saved_keeptimeout)(CONNECTION_T *) = nullptr;

GeneralSection::GeneralSection() : Section("general", SECTION_RWLOCK) {
    if (net_ctimeout_hook != general_ctimeout_hook) {
        saved_ctimeout = net_ctimeout_hook;
        net_ctimeout_hook = general_ctimeout_hook;
    }
    if (clientpool_timeout_get != general_timeout_hook) {
        saved_timeout = clientpool_timeout_get;
        clientpool_timeout_get = general_timeout_hook;
    }
    if (clientpool_keeptimeout_get != general_keeptimeout_hook) {
        saved_keeptimeout = clientpool_keeptimeout_get;
        clientpool_keeptimeout_get = general_keeptimeout_hook;
    }
}

GeneralSection::~GeneralSection() {
    if (general_section != this) return;
    general_section = nullptr;
    if (saved_ctimeout) net_ctimeout_hook = saved_ctimeout;
    if (saved_timeout) clientpool_timeout_get = saved_timeout;
    if (saved_keeptimeout) clientpool_keeptimeout_get = saved_keeptimeout;
    saved_ctimeout = saved_timeout = saved_keeptimeout = nullptr;
}

void GeneralSection::update() {
    rules.clear();
    if (!subsections.empty())
        for (const Item &item : subsections[0].items) rules.emplace_back(item);
    html_line_length = options.size() > 2 ? options[2].int_value : 0;
}

const General *GeneralSection::find(const CONNECTION_T *connection) {
    static const StringList none;
    const StringList &names = connection ? connection->profiles : none;
    for (const General &rule : rules) {
        if (!rule.enabled) continue;
        if (profile_find(names, rule.profiles)) return &rule;
    }
    return nullptr;
}

template <typename T, typename F> T GeneralSection::rule_value(const CONNECTION_T *connection, T fallback, F get) {
    read_lock();
    const General *rule = find(connection);
    T value = rule ? get(*rule) : fallback;
    unlock();
    return value;
}

int GeneralSection::ctimeout_get(const CONNECTION_T *connection) {
    return rule_value(connection, GENERAL_DEFAULT_TIMEOUT, [](const General &r) { return r.ctimeout; });
}

int GeneralSection::timeout_get(const CONNECTION_T *connection) {
    return rule_value(connection, GENERAL_DEFAULT_TIMEOUT, [](const General &r) { return r.timeout; });
}

int GeneralSection::keeptimeout_get(const CONNECTION_T *connection) {
    return rule_value(connection, GENERAL_DEFAULT_TIMEOUT, [](const General &r) { return r.keeptimeout; });
}

unsigned int GeneralSection::maxdbuffer_get(const CONNECTION_T *connection) {
    return rule_value(connection, 0u, [](const General &r) { return r.maxdbuffer; });
}

unsigned int GeneralSection::maxubuffer_get(const CONNECTION_T *connection) {
    return rule_value(connection, 0u, [](const General &r) { return r.maxubuffer; });
}

int GeneralSection::bufferwait_get(const CONNECTION_T *connection) {
    return rule_value(connection, 0, [](const General &r) { return r.bufferwait; });
}

bool GeneralSection::cportrange_check(const CONNECTION_T *connection, int port) {
    return rule_value(connection, true, [port](const General &r) { return r.cportrange.has(port); });
}

int GeneralSection::encodemime_check(const CONNECTION_T *connection, const char *mime) {
    return rule_value(connection, 0, [mime](const General &r) {
        return (r.encodemime && mime && reg_exec(r.encodemime, mime) == 0) ? 1 : 0;
    });
}

int GeneralSection::compressout_get(const CONNECTION_T *connection) {
    return rule_value(connection, 0, [](const General &r) { return r.compressout; });
}

int GeneralSection::compressin_get(const CONNECTION_T *connection) {
    return rule_value(connection, 0, [](const General &r) { return r.compressin; });
}

int GeneralSection::xforwardedfor_get(const CONNECTION_T *connection) {
    return rule_value(connection, 0, [](const General &r) { return r.xforwardedfor; });
}

int GeneralSection::via_get(const CONNECTION_T *connection) {
    return rule_value(connection, 0, [](const General &r) { return r.via; });
}

std::string GeneralSection::option_string(size_t position) {
    read_lock();
    std::string value = position < options.size() ? options[position].string_value : std::string();
    unlock();
    return value;
}

std::string GeneralSection::hostname_get() { return option_string(0); }

std::string GeneralSection::tempdir_get() { return option_string(1); }

// options never changes size after construction, so the address of a value
// stays valid; a definition without the option reads as 0.
int GeneralSection::linelength_get() { return options.size() > 2 ? atomic_read(&options[2].int_value) : 0; }

int GeneralSection::poolsize_get() { return options.size() > 3 ? atomic_read(&options[3].int_value) : 0; }

int GeneralSection::pooltimeout_get() { return options.size() > 4 ? atomic_read(&options[4].int_value) : 0; }

std::string proxy_name_get() {
    if (proxyhost[0]) return std::string(proxyhost, strnlen(proxyhost, sizeof proxyhost));
    GeneralSection *section = general_section;
    return section ? section->hostname_get() : std::string();
}

/* ---- the "ftp" section ---- */

FtpSection *ftp_section = nullptr;

const FIELD_READ FtpSection::reads[] = {
    {READ_OPTION, 0, 0, FIELD_BOOL},
    {READ_OPTION, 0, 1, FIELD_INT},
    {READ_OPTION, 0, 2, FIELD_STRING},
    {READ_OPTION, 0, 3, FIELD_STRING},
    {READ_OPTION, 0, 4, FIELD_INT},
    {READ_OPTION, 0, 5, FIELD_INT},
};
const int FtpSection::read_count = sizeof FtpSection::reads / sizeof FtpSection::reads[0];

Section *ftp_construct() {
    ftp_section = new FtpSection();
    return ftp_section;
}

FtpSection::FtpSection() : Section("ftp", SECTION_RWLOCK) {}

FtpSection::~FtpSection() {
    if (ftp_section == this) ftp_section = nullptr;
}

int FtpSection::option_int(size_t position) {
    return position < options.size() ? atomic_read(&options[position].int_value) : 0;
}

int FtpSection::passive_get() { return option_int(0); }

int FtpSection::timeout_get() { return option_int(1); }

int FtpSection::sortorder_get() { return option_int(4); }

int FtpSection::sortfield_get() { return option_int(5); }

void FtpSection::login_get(std::string *user, std::string *password) {
    read_lock();
    if (user) *user = options.size() > 2 ? options[2].string_value : std::string();
    if (password) *password = options.size() > 3 ? options[3].string_value : std::string();
    unlock();
}
