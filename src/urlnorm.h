// URL normalisation: one spelling for every way of writing the same request
// target, so that the filters judge the request that will be sent. Two
// targets a server reads as the same resource must not be told apart by a
// rule: "/%61ds/", "/./ads/" and "/z/../ads/" are "/ads/", and "127.1",
// "2130706433" and "0x7f.0.0.1" are "127.0.0.1".
#ifndef KORVANTEL_URLNORM_H
#define KORVANTEL_URLNORM_H

#include <string>

struct HEADER;

// The path of a target with its query (everything from the first '?') left
// as it is: escapes of unreserved characters (letters, digits, '-', '.', '_',
// '~') decoded, then the dot segments removed. Other escapes (%2F, %3F, ...)
// stay, since decoding them would change what the path means. A path that
// does not begin with '/' comes back unchanged.
std::string url_path_normalise(const std::string &target);

// The path as rules match it: runs of '/' before the query count as one,
// since servers commonly read "//ads/" as "/ads/".
std::string url_path_for_rules(const std::string &target);

// A host written as a numeric IPv4 address in any form the resolver takes
// (one to four parts, each decimal, octal with a leading 0 or hexadecimal
// with 0x) as its dotted quad; any other host unchanged.
std::string url_host_normalise(const std::string &host);

// Puts the request's host and path into their normal form, and its URL with
// them when it has a host. True when anything changed.
bool url_request_normalise(HEADER *request);

#endif
