// Fuzz target: DNS answers to the category look-ups' MX queries. The
// exchanges read become keys of the category cache and lines of its file.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <utility>
#include <vector>

#include "fuzz_support.h"
#include "mxquery.h"
#include "settings.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    loglevel = 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // An answer of exactly its own size: a read past it is a fault.
    std::vector<unsigned char> answer(data, data + size);
    std::vector<std::pair<std::string, int>> records;
    records.emplace_back("left over", 1);
    bool parsed = cprofiles_parse_mx(answer.data(), (int)size, &records);
    if (!parsed) {
        check(records.empty());
        return 0;
    }
    check(records.size() <= CPROFILES_MX_MAX);
    for (const auto &record : records) {
        check(record.second >= 0 && record.second <= 0xFFFF);
        check(record.first.size() <= 1023);
        check(record.first.find_first_of(std::string("\r\n\0", 3)) == std::string::npos);
    }
    return 0;
}
