// MX queries of the category profiles, through the system resolver. Kept
// apart from the request code: the resolver's headers define a HEADER of
// their own.
#ifndef KORVANTEL_MXQUERY_H
#define KORVANTEL_MXQUERY_H

#include <string>
#include <utility>
#include <vector>

// Most MX records read from one answer.
#define CPROFILES_MX_MAX 32

// Reads the MX records of a DNS answer (answer, authority and additional
// sections, at most CPROFILES_MX_MAX): (exchange, preference) pairs, in
// order. False (logged) for an answer that does not parse.
bool cprofiles_parse_mx(const unsigned char *answer, int length, std::vector<std::pair<std::string, int>> *out);
// One MX query of name: the records found (none when it fails).
std::vector<std::pair<std::string, int>> getmx(const std::string &name);

#endif
