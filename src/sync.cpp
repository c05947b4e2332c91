#include "sync.h"

#include <string.h>
#include <strings.h>
#include <time.h>

#include <string>
#include <vector>

#include <tinyxml.h>

#include "clock.h"
#include "fetch.h"
#include "filebuf.h"
#include "interface.h"
#include "lockguard.h"
#include "log.h"
#include "misc.h"
#include "section.h"
#include "settings.h"
#include "templates.h"  // INTERFACE_HOST
#include "xml.h"

namespace {

// The comma list of an option; runs of commas count as one.
std::vector<std::string> names_of(const char *list) {
    std::vector<std::string> names;
    if (!list || !*list) return names;
    char **pieces = string_break(list, ',');
    for (int i = 0; pieces && pieces[i]; i++)
        if (*pieces[i]) names.push_back(pieces[i]);
    array_free(pieces);
    return names;
}

bool named(const std::vector<std::string> &names, const std::string &name) {
    for (const std::string &n : names)
        if (strcasecmp(n.c_str(), name.c_str()) == 0) return true;
    return false;
}

// The master's Last-Modified, read as the export writes it (its local time
// in the HTTP date format); -1 when it does not read so.
time_t last_modified(const char *text) {
    struct tm value;
    memset(&value, 0, sizeof value);
    if (!text || !strptime(text, "%a, %d %b %Y %T GMT", &value)) return -1;
    value.tm_isdst = -1;  // let mktime decide, or an unchanged master reloads every hour
    return mktime(&value);
}

time_t synctime_get() {
    MutexLock held(&documentlock);
    return documentsynctime;
}

const char *header_value(HEADER *head, const char *name) {
    for (const HTTP_HEADER &line : head->headers)
        if (strcasecmp(line.name.c_str(), name) == 0) return line.value.c_str();
    return nullptr;
}

// Whether -S and -E let the section be synchronised.
bool chosen(const std::string &name) {
    if (syncsections[0] && !named(names_of(syncsections), name)) return false;
    return !named(names_of(nosyncsections), name);
}

// Whether every chosen section would take doc; false with the complaint.
bool sections_check(TiXmlDocument *doc, std::string *why) {
    for (auto &entry : Section::map)
        if (chosen(entry.first) && !entry.second->load_check(doc, why)) return false;
    return true;
}

// Loads the chosen sections from doc (documentlock held); false when one
// of them failed.
bool sections_load(TiXmlDocument *doc) {
    bool failed = false;
    for (auto &entry : Section::map) {
        const std::string &name = entry.first;
        if (!chosen(name)) continue;
        try {
            entry.second->load(doc, 1);
            putlog(LOG_SYNC, "syncronized section: %s", name.c_str());
        } catch (const ConfigError &) {
            putlog(LOG_ERROR, "sync: failed to syncronize section: %s ", name.c_str());
            failed = true;
        }
    }
    return !failed;
}

// One attempt; false sends the caller to the failure line.
bool sync_once() {
    std::string text =
        "http://" + std::string(masterhost) + ":" + std::to_string(masterport) + "/" + INTERFACE_HOST + "/xml";
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\0');
    URL *url = url_parse(buffer.data());
    if (!url) {
        putlog(LOG_ERROR, "sync: cannot make a URL of %s", text.c_str());
        return false;
    }
    // The master's interface login goes as the interface's own login cookie:
    // an Authorization header on this origin-form request would be taken by
    // the master's access rules as proxy credentials. The URL text (and so
    // every log line) never holds it.
    std::vector<HTTP_HEADER> login;
    if (masteruser[0]) {
        HTTP_HEADER cookie;
        cookie.name = "Cookie";
        cookie.value = "login=" + interface_login_token(masteruser, masterpassword, clock_now() + 3600);
        login.push_back(cookie);
    }
    HTTPRESPONSE *reply = http_fetch(url, masteruser[0] ? &login : nullptr, SYNC_BODY_MAX);
    url_free(url);
    if (!reply) {
        putlog(LOG_ERROR, "sync: No Response from %s:%d", masterhost, masterport);
        return false;
    }
    bool ok = false;
    time_t modified = -1;
    if (reply->header->code != 200) {
        putlog(LOG_ERROR, "sync: %s:%d responded with %d", masterhost, masterport, reply->header->code);
    } else if (!header_value(reply->header, "Last-Modified")) {
        putlog(LOG_ERROR, "sync: Cannot estimate last configuration update of %s", masterhost);
    } else if ((modified = last_modified(header_value(reply->header, "Last-Modified"))) == synctime_get()) {
        putlog(LOG_DEBUG, "sync: already syncronized with %s:%d at %d", masterhost, masterport, (int)modified);
        httpresponse_free(reply);
        return true;
    } else {
        ok = true;
    }
    if (!ok) {
        httpresponse_free(reply);
        return false;
    }

    std::string body(reply->body->data ? reply->body->data : "", (size_t)reply->body->size);
    httpresponse_free(reply);
    TiXmlDocument *fresh = new TiXmlDocument();
    std::string why;
    if (!xml_document_parse(fresh, body, "korvantel", &why)) {
        // Only a whole configuration replaces the one running.
        delete fresh;
        putlog(LOG_ERROR, "sync: invalid data recieved from %s:%d", masterhost, masterport);
        putlog(LOG_DEBUG, "sync: %s", why.c_str());
        return false;
    }

    bool loaded;
    {
        MutexLock held(&documentlock);
        // A value the slave would refuse replaces nothing: it keeps running
        // with the configuration it has, and tries again at the next poll.
        if (!sections_check(fresh, &why)) {
            delete fresh;
            putlog(LOG_ERROR, "sync: invalid data recieved from %s:%d", masterhost, masterport);
            putlog(LOG_ERROR, "sync: %s", why.c_str());
            return false;
        }
        putlog(LOG_SYNC, "syncronizing with %s:%d", masterhost, masterport);
        delete document;
        document = fresh;
        loaded = sections_load(document);
    }
    if (!loaded || !config_save(configfile)) {
        putlog(LOG_ERROR, "sync: failed to synchronize local configuration file %s", configfile);
        return loaded;  // an unwritten file alone is no failed attempt
    }
    putlog(LOG_SYNC, "synchronized local configuration file %s", configfile);
    MutexLock held(&documentlock);
    documentsynctime = modified;
    return true;
}

}  // namespace

void config_sync(void *) {
    if (!slave) return;
    if (!sync_once()) putlog(LOG_ERROR, "sync: failed to syncronize with master");
}
