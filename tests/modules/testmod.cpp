// A module as a third party would write one: its own section, read from
// its own definition document, and a processor that marks every response
// with the section's header line.
#include <string.h>

#include <string>

#include "filebuf.h"
#include "log.h"
#include "processors.h"
#include "section.h"

namespace {

class TestModSection : public Section {
public:
    struct Options {
        const std::string *header = nullptr;
    };
    Options opts;

    TestModSection() : Section("testmod", SECTION_RWLOCK) {
        static const FIELD_BIND<Options> fields[] = {
            FIELD_BIND_OF(Options, 0, "header", FIELD_STRING, header),
        };
        options_bind(fields, &opts);
    }
    void update() override {}

    std::string header_get() {
        read_lock();
        std::string value = *opts.header;
        unlock();
        return value;
    }
};

TestModSection *section = nullptr;

int mark_response(CONNECTION_T *, Filebuf *raw) {
    if (!raw || !raw->data) return 0;
    std::string head(raw->data, strnlen(raw->data, (size_t)raw->size));
    size_t end = head.find("\r\n\r\n");
    if (end == std::string::npos) return 0;
    head.insert(end + 2, "X-Module: " + section->header_get() + "\r\n");
    raw->Resize(0);
    raw->Add(head.c_str(), (long long)head.size() + 1);
    return 0;
}

}  // namespace

extern "C" bool testmod_load() {
    section = new TestModSection();
    processors.Add(mark_response, PROCESSOR_RESPHEADER);
    putlog(LOG_MODULE, "testmod: section and processor registered");
    return true;
}
