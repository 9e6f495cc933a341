// Limits on what an update-information document may hold, checked before and while it is
// parsed: how deep its elements nest (checked on the raw text, before the XML parser, whose
// recursion follows the nesting) and which group names are usable as keys of the state file.
//
// Thread rules: the functions keep no state and may be called from any thread.
#ifndef LIBUPDATER_DOC_LIMITS_H_
#define LIBUPDATER_DOC_LIMITS_H_

#include <stddef.h>

#include <string>

// Deepest element nesting a document may have.
const int kMaxDocumentDepth = 64;

// Scans the document text for element nesting deeper than maxDepth. Comments, CDATA sections,
// processing instructions, declarations and quoted attribute values are stepped over. True when
// it stays within; false with the 1-based row of the first element too deep in *row.
bool CheckDocumentDepth(const char* text, size_t length, int maxDepth, int* row);

// Whether name can be a group name: not empty, no control character, no blank at either end,
// none of '=', '[', ']' and ';'. False with the reason in *why.
bool IsUsableGroupName(const char* name, std::string* why);

// name with control characters, backslashes and double quotes written as escapes ("\n", "\x01",
// "\\", "\""), for messages that quote it.
std::string EscapeForMessage(const char* name);

#endif  // LIBUPDATER_DOC_LIMITS_H_
