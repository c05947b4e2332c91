#include "general.h"

#include <string.h>

#include "clientpool.h"
#include "connection.h"
#include "lockguard.h"
#include "misc.h"
#include "network.h"
#include "profiles.h"
#include "regexp.h"
#include "settings.h"

/* ---- the "general" section ---- */

GeneralSection *general_section = nullptr;

static const FIELD_BIND<GeneralSection::Options> general_options[] = {
    FIELD_BIND_OF(GeneralSection::Options, 0, "hostname", FIELD_STRING, hostname),
    FIELD_BIND_OF(GeneralSection::Options, 1, "tempdir", FIELD_STRING, tempdir),
    FIELD_BIND_OF(GeneralSection::Options, 2, "linelength", FIELD_INT, linelength),
    FIELD_BIND_OF(GeneralSection::Options, 3, "poolsize", FIELD_INT, poolsize),
    FIELD_BIND_OF(GeneralSection::Options, 4, "pooltimeout", FIELD_INT, pooltimeout),
};

static const FIELD_BIND<General> general_fields[] = {
    FIELD_BIND_OF(General, 0, "enabled", FIELD_BOOL, enabled),
    FIELD_BIND_OF(General, 1, "comment", FIELD_STRING, comment),
    FIELD_BIND_OF(General, 2, "profiles", FIELD_STRING_LIST, profiles),
    FIELD_BIND_OF(General, 3, "ctimeout", FIELD_INT, ctimeout),
    FIELD_BIND_OF(General, 4, "timeout", FIELD_INT, timeout),
    FIELD_BIND_OF(General, 5, "keeptimeout", FIELD_INT, keeptimeout),
    FIELD_BIND_OF(General, 6, "maxdbuffer", FIELD_FILE_SIZE, maxdbuffer),
    FIELD_BIND_OF(General, 7, "maxubuffer", FIELD_FILE_SIZE, maxubuffer),
    FIELD_BIND_OF(General, 8, "bufferwait", FIELD_INT, bufferwait),
    FIELD_BIND_OF(General, 9, "cportrange", FIELD_PORT_RANGE_LIST, cportrange),
    FIELD_BIND_OF(General, 10, "encodemime", FIELD_STRING, encodemime_text),  // compiled after the read
    FIELD_BIND_OF(General, 11, "compressout", FIELD_BOOL, compressout),
    FIELD_BIND_OF(General, 12, "compressin", FIELD_BOOL, compressin),
    FIELD_BIND_OF(General, 13, "xforwardedfor", FIELD_BOOL, xforwardedfor),
    FIELD_BIND_OF(General, 14, "via", FIELD_BOOL, via),
};

Section *general_construct() {
    general_section = new GeneralSection();
    return general_section;
}

General::General(const Item &item)
    : enabled(false),
      ctimeout(GENERAL_DEFAULT_TIMEOUT),
      timeout(GENERAL_DEFAULT_TIMEOUT),
      keeptimeout(GENERAL_DEFAULT_TIMEOUT),
      maxdbuffer(0),
      maxubuffer(0),
      bufferwait(0),
      encodemime(nullptr),
      compressout(0),
      compressin(0),
      xforwardedfor(0),
      via(0) {
    fields_read(general_fields, item.fields, this);
    if (!encodemime_text.empty()) encodemime = reg_compile(encodemime_text.c_str(), 1);
}

General::General(const General &other)
    : enabled(other.enabled),
      comment(other.comment),
      profiles(other.profiles),
      ctimeout(other.ctimeout),
      timeout(other.timeout),
      keeptimeout(other.keeptimeout),
      maxdbuffer(other.maxdbuffer),
      maxubuffer(other.maxubuffer),
      bufferwait(other.bufferwait),
      cportrange(other.cportrange),
      encodemime_text(other.encodemime_text),
      encodemime(nullptr),
      compressout(other.compressout),
      compressin(other.compressin),
      xforwardedfor(other.xforwardedfor),
      via(other.via) {
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

GeneralSection::GeneralSection() : Section("general", SECTION_RWLOCK) {
    options_bind(general_options, &opts);
    fields_declare(0, general_fields);
}

GeneralSection::~GeneralSection() {
    if (general_section != this) return;
    general_section = nullptr;
}

void GeneralSection::update() {
    entries_build(0, &rules);
    html_line_length = *opts.linelength;
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

template <typename T, typename F>
T GeneralSection::rule_value(const CONNECTION_T *connection, T fallback, F get) {
    SectionReadLock held(this);
    const General *rule = find(connection);
    return rule ? get(*rule) : fallback;
}

int GeneralSection::ctimeout_get(const CONNECTION_T *connection) {
    return rule_value(connection, GENERAL_DEFAULT_TIMEOUT, [](const General &r) { return r.ctimeout; });
}

int GeneralSection::timeout_get(const CONNECTION_T *connection) {
    return rule_value(connection, GENERAL_DEFAULT_TIMEOUT, [](const General &r) { return r.timeout; });
}

int general_timeout(const CONNECTION_T *connection) {
    GeneralSection *section = general_section;
    return section ? section->timeout_get(connection) : GENERAL_DEFAULT_TIMEOUT;
}

int general_ctimeout(const CONNECTION_T *connection) {
    GeneralSection *section = general_section;
    return section ? section->ctimeout_get(connection) : GENERAL_DEFAULT_TIMEOUT;
}

int general_wait_timeout(const CONNECTION_T *connection) {
    int timeout = general_timeout(connection);
    return timeout > 0 ? timeout : GENERAL_DEFAULT_TIMEOUT;
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

std::string GeneralSection::option_string(const std::string *value) {
    SectionReadLock held(this);
    return *value;
}

std::string GeneralSection::hostname_get() { return option_string(opts.hostname); }

std::string GeneralSection::tempdir_get() { return option_string(opts.tempdir); }

int GeneralSection::linelength_get() { return atomic_read(opts.linelength); }

int GeneralSection::poolsize_get() { return atomic_read(opts.poolsize); }

int GeneralSection::pooltimeout_get() { return atomic_read(opts.pooltimeout); }

std::string proxy_name_get() {
    if (proxyhost[0]) return std::string(proxyhost, strnlen(proxyhost, sizeof proxyhost));
    GeneralSection *section = general_section;
    return section ? section->hostname_get() : std::string();
}

/* ---- the "ftp" section ---- */

FtpSection *ftp_section = nullptr;

static const FIELD_BIND<FtpSection::Options> ftp_options[] = {
    FIELD_BIND_OF(FtpSection::Options, 0, "passive", FIELD_BOOL, passive),
    FIELD_BIND_OF(FtpSection::Options, 1, "timeout", FIELD_INT, timeout),
    FIELD_BIND_OF(FtpSection::Options, 2, "user", FIELD_STRING, user),
    FIELD_BIND_OF(FtpSection::Options, 3, "password", FIELD_STRING, password),
    FIELD_BIND_OF(FtpSection::Options, 4, "sortorder", FIELD_INT, sortorder),
    FIELD_BIND_OF(FtpSection::Options, 5, "sortfield", FIELD_INT, sortfield),
};

Section *ftp_construct() {
    ftp_section = new FtpSection();
    return ftp_section;
}

FtpSection::FtpSection() : Section("ftp", SECTION_RWLOCK) { options_bind(ftp_options, &opts); }

FtpSection::~FtpSection() {
    if (ftp_section == this) ftp_section = nullptr;
}

int FtpSection::passive_get() { return atomic_read(opts.passive); }

int FtpSection::timeout_get() { return atomic_read(opts.timeout); }

int FtpSection::sortorder_get() { return atomic_read(opts.sortorder); }

int FtpSection::sortfield_get() { return atomic_read(opts.sortfield); }

void FtpSection::login_get(std::string *user, std::string *password) {
    SectionReadLock held(this);
    if (user) *user = *opts.user;
    if (password) *password = *opts.password;
}
