#include "startup.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <openssl/rand.h>
#include <tinyxml.h>

#include "cache.h"
#include "cipher.h"
#include "clientpool.h"
#include "compat.h"
#include "connection.h"
#include "dncache.h"
#include "forward.h"
#include "general.h"
#include "global.h"
#include "hash.h"
#include "hooks.h"
#include "icap.h"
#include "ldap_profile.h"
#include "limit.h"
#include "log.h"
#include "mem.h"
#include "modules.h"
#include "network.h"
#include "password_cache.h"
#include "perflog.h"
#include "prefetch.h"
#include "section.h"
#include "serverpool.h"
#include "settings.h"
#include "signals.h"
#include "ssl.h"
#include "stats.h"
#include "sync.h"
#include "threads.h"
#include "timerange.h"
#include "timers.h"
#include "urlbl.h"
#include "xml.h"

#include <string>
#include <vector>

GLOBAL_T *global = nullptr;
unsigned int clientid = 1;

static void global_create() {
    global = new GLOBAL_T();
    global->stats = new Stats();
    global->logbuffer = logbuffer_new(1000);
    if (!global->logbuffer) fatal_alloc("src/main", 795, "config", 48);
    log_ring = global->logbuffer;
    global->dnscache = hash_create(DNSCACHE_BUCKETS);
    pthread_mutex_init(&global->dnscache_lock, nullptr);
    dnscache_init(global->dnscache, &global->dnscache_lock);
    global->password_cache = password_cache_create(password_cachesize);
    pthread_rwlock_init(&global->password_cache_lock, nullptr);
    global->dn_cache = dn_cache_create(password_cachesize);
    pthread_rwlock_init(&global->dn_cache_lock, nullptr);
    global->serverpool = new ServerPool();
    global->clientpool = new ClientPool();
    global->timers = timers_init();
}

static void sectionxml_load() {
    TiXmlBase::SetCondenseWhiteSpace(false);
    sectionxml = new TiXmlDocument();
    std::string text, why;
    FILE *file = s_fopen(sectionfile, "rb");
    if (file) {
        char block[65536];
        size_t got;
        while ((got = fread(block, 1, sizeof block, file)) > 0) text.append(block, got);
        fclose(file);
    } else {
        why = strerror(errno);
    }
    if (!file || !xml_document_parse(sectionxml, text, "section", &why)) {
        putlog(LOG_ERROR, "Error when parsing section.xml: %s", why.c_str());
        putlog(LOG_ADVICE, "Please correct errors in section.xml: %s", why.c_str());
        exit(1);
    }
}

// Builds the configuration sections in their fixed order; each registers its
// processors and hooks as it is built.
// A definition document that no longer matches what the code reads would
// make rules read the wrong fields, so it stops the start.
static void sections_construct() {
    for (const SECTION_CLASS *c = section_classes; c->name; c++) {
        Section *section = c->construct();
        std::vector<std::string> problems;
        if (!section_fields_check(section, &problems)) {
            for (const std::string &p : problems) putlog(LOG_ERROR, "section.xml: %s", p.c_str());
            putlog(LOG_ADVICE, "Please correct errors in section.xml: section %s", c->name);
            exit(1);
        }
    }
}

static void config() {
    gmtoffset = gmtoffset_compute();
    ssl_init();
    unsigned char seed[1024];
    for (unsigned char &b : seed) b = (unsigned char)(rand() % 255);
    RAND_seed(seed, sizeof seed);

    global_create();
    sectionxml_load();
    sections_construct();
    modules_load();
    icap_register();
    globalstats_init();
    signal_setup();
    net_init();
    bool have_file = configfile[0] && (!slave || access(configfile, F_OK) == 0);
    if (have_file && !config_load(3, configfile, true)) fatal_assert("src/main", __LINE__, "config_load");
    config_sync(nullptr);
    hooks.Execute(HOOK_CONFIG, nullptr, nullptr);
    installation_key_report();
    putlog(LOG_NETWORK, "proxy hostname: %s",
           proxyhost[0] ? proxyhost : (general_section ? general_section->hostname_get().c_str() : ""));
    if (listenip[0]) net_listen(listenport, listenip);
    network_section->check();
    urlbl_section->load();
    timers_add(global->timers, 1, 1, limits_reset, nullptr);
    timers_add(global->timers, 60, 1, dnscache_clean, nullptr);
    timers_add(global->timers, password_cachexpire, 1, password_cache_clean, nullptr);
    timers_add(global->timers, syncinterval > 0 ? syncinterval : 1, 1, config_sync, nullptr);
    timers_add(global->timers, 10, 1, ldap_configure, nullptr);
    prefetch_section->init_threads();
    thread_create_internal(serverpool_clean, global->serverpool);
    thread_create_internal(icp_thread, nullptr);
    thread_create_internal(unlink_thread, nullptr);
    thread_create_internal(clientpool_thread, global->clientpool);
    thread_create_internal(timer_thread, global->timers);
    thread_create_internal(performance_check, nullptr);
    putlog(LOG_DEBUG, "GMT offset is -%u seconds", (unsigned)gmtoffset);
}

std::string print_rlimit(long current, long maximum) {
    auto value = [](long v) { return v == -1 ? std::string("unlimited") : std::to_string(v); };
    return "current: " + value(current) + "  maximum: " + value(maximum);
}

void mainloop() {
    config();
    for (;;) {
        CONNECTION_T *connection = net_accept(-1);
        if (!connection) continue;
        connection->id = (int)clientid++;
        if (connection->id == 0) {
            connection->id = 1;
            clientid = 2;
        }
        performance_log->set_connections_handled((unsigned)connection->id);
        global->clientpool->Add(connection);
    }
}
