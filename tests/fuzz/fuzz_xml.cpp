// Fuzz target: configuration documents as they come from a file or a
// master, including the nesting bound that keeps the recursive parser off
// the end of a small stack.
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "xml.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    TiXmlDocument doc;
    std::string why;
    bool parsed = xml_document_parse(&doc, text, "korvantel", &why);
    if (parsed && xml_nesting_depth(text.data(), text.size()) > XML_DEPTH_MAX) abort();
    if (!parsed && why.empty()) abort();
    return 0;
}
