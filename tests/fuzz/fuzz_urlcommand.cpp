// Fuzz target: URL-command labels in front of a host name. What the parser
// takes out, written back as labels in front of the rest, parses to the same
// commands and the same rest; a redirect location gets the commands in front
// of its host, so that they survive the redirect, within the length limit.
// The first line is the host text, the rest a redirect location.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "connection.h"
#include "fuzz_support.h"
#include "header.h"
#include "settings.h"
#include "urlcommand.h"

namespace {

struct Parsed {
    std::vector<std::pair<std::string, std::string>> commands;  // name, options ("\x01" none)
    std::string rest;
};

Parsed parse(const std::string &text, url_command_t ***array = nullptr) {
    Parsed p;
    char *copy = strdup(text.c_str());
    url_command_t **commands = url_command_parse(copy);
    for (url_command_t **c = commands; c && *c; c++) {
        check((*c)->name != nullptr);
        std::string name = (*c)->name;
        check(name.find('.') == std::string::npos && name.find('[') == std::string::npos);
        for (unsigned char ch : name) check(ch >= 0x20 && ch != 0x7f);
        std::string options = (*c)->options ? (*c)->options : "\x01";
        if ((*c)->options) check(options.find(']') == std::string::npos && options.find('.') == std::string::npos);
        p.commands.emplace_back(name, options);
        check(url_command_find(commands, (*c)->name) != nullptr);
    }
    if (!commands) check(strcmp(copy, text.c_str()) == 0);
    p.rest = copy;
    free(copy);
    if (array) *array = commands;
    else url_command_free(commands);
    return p;
}

void location_checks(url_command_t **commands, size_t count, const std::string &location) {
    CONNECTION_T *connection = connection_new();
    connection->request = http_header_parse_request("GET http://origin.example:8080/dir/page?q=/x HTTP/1.1\r\n\r\n");
    check(connection->request != nullptr);
    connection->url_commands = commands;
    char *url = url_command_add(connection, location.c_str());
    check(url != nullptr);
    std::string text = url;
    free(url);
    check(text.size() <= 4095);
    check(text.compare(0, 7, "http://") == 0);
    char *labels = url_command_create(commands);
    std::string expected = std::string("http://") + labels;
    free(labels);
    if (text.size() < 4095) {
        check(text.compare(0, expected.size(), expected) == 0);
        Parsed again = parse(text.substr(7));
        check(again.commands.size() >= count);
    }
    url_command_free(connection->url_commands);
    connection->url_commands = nullptr;
    http_header_free(connection->request);
    connection->request = nullptr;
    connection_free(connection);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    loglevel = 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 16384) return 0;
    std::string input(reinterpret_cast<const char *>(data), size);
    input = input.substr(0, input.find('\0'));
    size_t newline = input.find('\n');
    std::string host = input.substr(0, newline);
    std::string location = newline == std::string::npos ? "" : input.substr(newline + 1);

    url_command_t **commands = nullptr;
    Parsed first = parse(host, &commands);
    // Written back, the labels read the same.
    char *labels = url_command_create(commands);
    Parsed second = parse(std::string(labels) + first.rest);
    free(labels);
    check(second.commands == first.commands);
    check(second.rest == first.rest);
    if (commands) location_checks(commands, first.commands.size(), location);
    return 0;
}
