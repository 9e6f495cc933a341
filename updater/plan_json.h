// The plan as one JSON document (--list --json), for scripts. The layout is described in the
// README ("The plan as JSON"); its "schema" member counts incompatible changes. Texts from the
// update information are written as JSON strings; bytes that are not UTF-8 become U+FFFD.
//
// Thread rules: main thread only, like the Updater calls it makes.
#ifndef UPDATER_PLAN_JSON_H_
#define UPDATER_PLAN_JSON_H_

#include <string>

#include "libupdater.h"

// The JSON string literal for text, quotes included: control characters, quote and backslash
// escaped, invalid UTF-8 sequences replaced by \ufffd.
std::string JsonQuote(const std::string& text);

// The whole document for the current group states, ending in a newline. baseDir ends in "/".
// Reads the installation like --list; changes nothing.
std::string PlanJson(Updater* updater, const char* baseDir, const std::string& channelUrl);

#endif  // UPDATER_PLAN_JSON_H_
