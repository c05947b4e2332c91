// Fuzz target: what the virus scanner daemons answer (clamd's verdict line,
// Sophie's reply over its Unix socket and its verdict line over TCP, the
// Kaspersky daemon's reply lines, the F-Prot daemon's XML report). A
// verdict is clean, infected or failed; a failure always says why.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "clamav.h"
#include "filebuf.h"
#include "fprot.h"
#include "fuzz_support.h"
#include "kaspersky.h"
#include "scanner.h"
#include "settings.h"
#include "socket.h"
#include "sophie.h"

namespace {

void check_result(const ScanResult &result) {
    check(result.verdict == SCAN_CLEAN || result.verdict == SCAN_INFECTED || result.verdict == SCAN_FAILED);
    if (result.verdict == SCAN_FAILED) check(!result.why.empty());
}

// The first line as Socket::GetLine hands it to a reader with size bytes.
std::string first_line(const std::string &text, size_t size) {
    size_t lf = text.find('\n');
    std::string line = lf == std::string::npos ? text : text.substr(0, lf + 1);
    if (line.size() > size - 1) line.resize(size - 1);
    return line.substr(0, line.find('\0'));
}

void kaspersky(const uint8_t *data, size_t size) {
    if (size > 100000) return;  // stays within the socket buffer
    Socket daemon(socket_holding(data, size));
    ScanResult result = kaspersky_reply(daemon, 5);
    check_result(result);
    check(result.name.size() <= 127);
    check(result.name.find_first_of(" \t\r\n") == std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    loglevel = 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);

    ScanResult clam = clamav_verdict(first_line(text, 1024).c_str());
    check_result(clam);
    if (clam.verdict == SCAN_INFECTED) check(!clam.name.empty());

    check_result(sophie_unix_verdict(text.data(), size < 512 ? size : 512));
    check_result(sophie_tcp_verdict(first_line(text, 256).c_str()));

    kaspersky(data, size);

    Filebuf answer;
    answer.Add(text.data(), (long long)text.size());
    check_result(fprot_verdict(&answer));
    return 0;
}
