#include "mxquery.h"

#include <arpa/nameser.h>
#include <netinet/in.h>
#include <resolv.h>
#include <string.h>

#include "log.h"

#define CPROFILES_LINE_MAX 1023
#define CPROFILES_OUT_MAX 2047

bool cprofiles_parse_mx(const unsigned char *answer, int length, std::vector<std::pair<std::string, int>> *out) {
    out->clear();
    ns_msg message;
    if (length <= 0 || ns_initparse(answer, length, &message) < 0) {
        putlog(LOG_ERROR, "cProfiles: an answer that does not parse was ignored");
        return false;
    }
    const ns_sect sections[] = {ns_s_an, ns_s_ns, ns_s_ar};
    for (ns_sect section : sections) {
        int count = ns_msg_count(message, section);
        for (int i = 0; i < count && out->size() < CPROFILES_MX_MAX; i++) {
            ns_rr record;
            if (ns_parserr(&message, section, i, &record) < 0) {
                putlog(LOG_ERROR, "cProfiles: a truncated answer was ignored after %d records", (int)out->size());
                return !out->empty();
            }
            if (ns_rr_type(record) != ns_t_mx || ns_rr_rdlen(record) < 3) continue;
            const unsigned char *data = ns_rr_rdata(record);
            char name[NS_MAXDNAME];
            if (ns_name_uncompress(ns_msg_base(message), ns_msg_end(message), data + 2, name, sizeof name) < 0)
                continue;
            out->emplace_back(std::string(name).substr(0, CPROFILES_LINE_MAX), (int)ns_get16(data));
        }
    }
    return true;
}

std::vector<std::pair<std::string, int>> getmx(const std::string &name) {
    std::vector<std::pair<std::string, int>> records;
    unsigned char answer[1024];
    struct __res_state state;
    memset(&state, 0, sizeof state);
    if (res_ninit(&state) != 0) return records;
    int length = res_nquery(&state, name.c_str(), ns_c_in, ns_t_mx, answer, sizeof answer);
    res_nclose(&state);
    if (length <= 0) return records;
    if (length > (int)sizeof answer) length = sizeof answer;  // cut answers parse as truncated
    cprofiles_parse_mx(answer, length, &records);
    // The names joined by commas stay within the output bound.
    size_t total = 0, kept = 0;
    for (; kept < records.size(); kept++) {
        total += records[kept].first.size() + 1;
        if (total > CPROFILES_OUT_MAX) break;
    }
    records.resize(kept);
    return records;
}
