// Fuzz target: the authentication daemon's answer lines, as one read takes
// them (at most NTLM_BUFFER_SIZE - 1 bytes, read as text). The parse is
// checked against a model of the line, and the payload the proxy takes (a
// challenge for a reply head, a user name for the log and the rules) holds
// no control character.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "fuzz_support.h"
#include "ntlm_talk.h"
#include "settings.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    loglevel = 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size >= NTLM_BUFFER_SIZE) return 0;
    std::string text(reinterpret_cast<const char *>(data), size);
    text = text.substr(0, text.find('\0'));
    NTLM_ANSWER answer = ntlm_answer_parse(text.c_str());

    std::vector<std::string> words;
    size_t at = 0;
    while ((at = text.find_first_not_of(' ', at)) != std::string::npos) {
        size_t end = text.find(' ', at);
        words.push_back(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
        at = end;
    }
    if (words.empty()) words.push_back("");
    check(answer.words == (int)words.size());
    check(answer.status == words[0]);
    check(answer.outcome == (words.size() > 1 ? words[1] : ""));
    check(answer.whole == (!text.empty() && text.find('\n') == text.size() - 1));

    std::string last = words.back();
    while (!last.empty() && (last.back() == '\n' || last.back() == '\r')) last.pop_back();
    bool clean = true;
    for (unsigned char c : last) clean = clean && c >= 0x20 && c != 0x7f;
    check(answer.payload == (clean ? last : ""));
    for (unsigned char c : answer.payload) check(c >= 0x20 && c != 0x7f && c != ' ');
    return 0;
}
