// UTC time stamps in the fixed text form "YYYY-MM-DDTHH:MM:SSZ" (update documents carry their
// expiry in it), and the HTTP date form "Sun, 06 Nov 1994 08:49:37 GMT" (Retry-After).
//
// Thread rules: no shared state; every function may run in any thread.
#ifndef VELMOR_UTC_TIME_H_
#define VELMOR_UTC_TIME_H_

#include <stdint.h>

#include <string>

// The text of a point in time given in seconds since 1970-01-01T00:00:00Z. Empty when it has no
// four-digit year.
std::string FormatUtcTime(int64_t seconds);

// Reads exactly "YYYY-MM-DDTHH:MM:SSZ" (every field in its range, the day within its month).
// True with *seconds since the epoch; false when the text is anything else.
bool ParseUtcTime(const std::string& text, int64_t* seconds);

// Reads an HTTP date in its one current form, "Www, DD Mon YYYY HH:MM:SS GMT" (the day name is
// not checked against the date). True with *seconds since the epoch; false for anything else,
// the obsolete forms included.
bool ParseHttpDate(const std::string& text, int64_t* seconds);

#endif  // VELMOR_UTC_TIME_H_
