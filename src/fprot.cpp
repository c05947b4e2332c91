#include "fprot.h"

#include <stdio.h>
#include <strings.h>
#include <tinyxml.h>

#include "connection.h"
#include "fetch.h"
#include "filebuf.h"
#include "log.h"
#include "misc.h"
#include "processors.h"
#include "regexp.h"
#include "xml.h"

FProtSection *fprot_section = nullptr;

// Longest option text.
#define FPROT_OPTIONS_MAX 1023
// Largest answer read from the daemon.
#define FPROT_ANSWER_MAX ((long long)1024 * 1024)

static const FIELD_BIND<FProtSection::Options> fprot_options[] = {
    FIELD_BIND_OF(FProtSection::Options, 0, "enabled", FIELD_BOOL, enabled),
    FIELD_BIND_OF(FProtSection::Options, 1, "template", FIELD_STRING, default_template),
};

static const FIELD_BIND<ScanRule> fprot_rule_fields[] = {
    FIELD_BIND_OF(ScanRule, 0, "enabled", FIELD_BOOL, enabled),
    FIELD_BIND_OF(ScanRule, 1, "comment", FIELD_STRING, comment),
    FIELD_BIND_OF(ScanRule, 2, "profiles", FIELD_STRING_LIST, profiles),
    FIELD_BIND_OF(ScanRule, 3, "template", FIELD_STRING, template_name),
    FIELD_BIND_OF(ScanRule, 4, "options", FIELD_STRING_SELECT_MANY, option_bits),
    FIELD_BIND_OF(ScanRule, 5, "archivedepth", FIELD_INT, archive_depth),
};

Section *fprot_construct() {
    fprot_section = new FProtSection();
    return fprot_section;
}

FProtSection::FProtSection() : ScannerSection("fprot", "F-Prot", "f-prot", 403) {
    options_bind(fprot_options, &opts);
    fields_declare(0, fprot_rule_fields);
    enabled_ = opts.enabled;
    default_template_ = opts.default_template;
    processors.Add(fprot_respcheck, PROCESSOR_RESPCHECK);
    processors.Add(fprot_buffcheck, PROCESSOR_BUFFCHECK);
}

FProtSection::~FProtSection() {
    if (fprot_section == this) fprot_section = nullptr;
}

int fprot_buffcheck(CONNECTION_T *connection, Filebuf *) {
    return fprot_section ? fprot_section->check_match(connection) : 0;
}

int fprot_respcheck(CONNECTION_T *connection, Filebuf *body) {
    return fprot_section ? fprot_section->check_and_block(connection, body) : 0;
}

void FProtSection::rule_read(const Item &item, ScanRule *rule) { fields_read(fprot_rule_fields, item.fields, rule); }

void FProtSection::job_copy(const ScanRule &rule, ScanJob *job) {
    job->option_bits = rule.option_bits;
    job->archive_depth = rule.archive_depth;
}

std::string fprot_query(unsigned int bits, int archive_depth) {
    std::string options;
    char piece[64];
    if (bits & FPROT_ARCHIVE) {
        snprintf(piece, sizeof piece, "-archive=%d%%20", archive_depth);
        options += piece;
    }
    if (bits & FPROT_PACKED) options += "-packed%20";
    if (bits & FPROT_AI) options += "-ai%20";
    if (bits & FPROT_NOHEUR) options += "-noheur%20";
    if (bits & FPROT_NOMACRO) options += "-nomacro%20";
    if (bits & FPROT_ONLYMACRO) options += "-onlymacro%20";
    if (options.size() > FPROT_OPTIONS_MAX) options.resize(FPROT_OPTIONS_MAX);
    return options + "-remote-dtd%20";
}

static const char *element_text(TiXmlElement *element) {
    if (!element) return nullptr;
    const char *text = element->GetText();
    return text && *text ? text : nullptr;
}

ScanResult fprot_verdict(Filebuf *answer) {
    ScanResult result;
    answer->Add("", 1);
    // Internal subsets would let the answer pull in entities of its own.
    regex_sub_t *doctype = reg_sub_compile("<!DOCTYPE[^\\]]*\\]>", 1);
    if (doctype) {
        reg_replace(answer, doctype, nullptr, nullptr);
        reg_sub_free(doctype);
    }
    // The answer comes from whatever listens on the port: it gets the same
    // bounded parse as every other XML text from outside.
    TiXmlDocument document;
    std::string why;
    bool parsed = xml_text_parse(&document, answer->data, &why);
    TiXmlElement *root = parsed ? document.FirstChildElement("fprot-results") : nullptr;
    TiXmlElement *summary = root ? root->FirstChildElement("summary") : nullptr;
    if (!summary) {
        putlog(LOG_ANTIVIRUS, "error parsing F-Prot result XML");
        if (!parsed) putlog(LOG_DEBUG, "F-Prot answer refused: %s", why.c_str());
        result.why = "unreadable answer from the F-Prot daemon";
        return result;
    }
    const char *verdict = element_text(summary);
    if (!verdict || strcasecmp(verdict, "infected") != 0) {
        putlog(LOG_ANTIVIRUS, "no viruses detected by F-Prot");
        result.verdict = SCAN_CLEAN;
        return result;
    }
    result.verdict = SCAN_INFECTED;
    TiXmlElement *detected = root->FirstChildElement("detected");
    if (!detected) {
        putlog(LOG_ANTIVIRUS, "detected unknown virus with F-Prot");
        result.named = false;
        result.reason = "unknown";
        return result;
    }
    const char *name = element_text(detected->FirstChildElement("name"));
    if (!name) {
        result.named = false;
        return result;
    }
    result.name = name;
    putlog(LOG_ANTIVIRUS, "detected %s virus with F-Prot", name);
    return result;
}

ScanResult FProtSection::scan(CONNECTION_T *, Filebuf *body, const ScanJob &job) {
    ScanResult result;
    TempFile file;
    if (!file.create(body, &result.why)) return result;
    std::string query = fprot_query(job.option_bits, job.archive_depth);

    HTTPRESPONSE *answer = nullptr;
    for (int port = FPROT_PORT_FIRST; port < FPROT_PORT_END && !answer; port++) {
        std::string text = "http://127.0.0.1:" + std::to_string(port) + file.path() + "?" + query;
        URL *url = url_parse(text.c_str());
        if (!url) {
            result.why = "cannot form the scan URL " + text;
            return result;
        }
        answer = http_fetch(url, nullptr, FPROT_ANSWER_MAX);
        url_free(url);
    }
    if (!answer) {
        putlog(LOG_ANTIVIRUS, "connection to F-Prot daemon scanner failed");
        result.why = "no F-Prot daemon answered on ports " + std::to_string(FPROT_PORT_FIRST) + " to " +
                     std::to_string(FPROT_PORT_END - 1);
        return result;
    }
    if (!answer->body) answer->body = new Filebuf();
    result = fprot_verdict(answer->body);
    httpresponse_free(answer);
    return result;
}
