// libFuzzer target: URL parsing, printing, comparison and the URL codings.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "misc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    const char *input = text.c_str();

    URL *url = url_parse(input);
    if (url) {
        char *printed = url_create(url);
        URL *again = url_parse(printed);
        if (again) {
            urlcmp(url, again);
            url_free(again);
        }
        free(printed);
        url_free(url);
    }
    int n = size ? (int)(data[0] % 64) : 0;
    free(url_decode(input, -1));
    free(url_decode(input, n));
    free(url_encode(input, -1));
    free(url_path_fix(input));
    return 0;
}
