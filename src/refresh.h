// Freshness of cached objects: which requests and responses may use the
// cache, the refresh rules that give a new object its freshness parameters,
// the freshness verdict drawn from a stored response's head, and the
// request's Cache-Control directives that make a cached copy be revalidated
// (the request driver turns CACHE_VALIDATE into If-Modified-Since).
//
// Every time is on the program's time base (utc_time, see timerange.h); a
// time field of an object holding 0 means "none". The CacheSection members
// select_refresh, check_header and check (cache.h) wrap the functions below,
// which take the clock as an argument so that tests can drive them.
#ifndef KORVANTEL_REFRESH_H
#define KORVANTEL_REFRESH_H

#include <time.h>

#include <vector>

#include "cache.h"

struct CONNECTION_T;
struct HEADER;

// Expiry given to an object whose Expires cannot be read, or names a moment
// at or before the epoch: long past, yet "set".
#define REFRESH_EXPIRES_PAST ((time_t)1)

// An HTTP date in the form "Sun, 06 Nov 1994 08:49:37 GMT" on the time base;
// -1 when the text does not parse as one (trailing blanks are allowed).
time_t http_date_parse(const char *text);

// The rule that applies to a new object: the first enabled rule whose profile
// condition holds for the connection's profiles; without a connection (a
// journal being loaded) the first enabled rule without profile condition.
// Null when none applies.
const Refresh *refresh_select(const std::vector<Refresh> &rules, const CONNECTION_T *connection);
// Copies the rule's parameters into the object; a rule that is not
// cacheable flags it CACHE_INVALID unless it is CACHE_FORCE. A null rule
// leaves the object as it is.
void refresh_apply(const Refresh *rule, CACHEMAP *object);

// Recomputes expires, lm_expires, last_modified and CACHE_EXPIRED from the
// object's parsed stored head at time now; clears the head's chunked flag.
// An object without parsed head is only flagged expired.
void refresh_check_header(CACHEMAP *object, time_t now);
// True when refresh_check_header would change nothing in the object.
bool refresh_check_header_settled(const CACHEMAP *object, time_t now);

// Applies the request's Cache-Control to a cached object at time now and
// sets CACHE_VALIDATE when the object must be revalidated; 1 when it did.
// A prefetched object is never flagged.
int refresh_request_check(CACHEMAP *object, const HEADER *request, time_t now);

// cacheable() with the clock given (the admission back-off is tested at now).
int cacheable_at(HEADER *header, time_t now);

#endif
