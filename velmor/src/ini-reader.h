// Reading and writing values in INI-style settings files: a string or an integer is looked up
// by section and key; a write inserts a key or replaces its value. This is the one place that
// knows the format: lines split at LF, CRs ignored, TABs and runs of spaces read as one space,
// "[section]" headers (ASCII case-insensitive), "key = value" lines (key before the first '=',
// both trimmed), no comments and no quoting. Every call works on the whole file; nothing is
// cached.
//
// A write rebuilds the whole text (normalised, every line ending in CR LF) and replaces the file
// in one step: the text goes to a temporary file in the same directory, which is then renamed
// over the old one with the old permission bits, so a failed write never leaves a damaged file.
//
// Thread rules: the reads hold the INI lock (recursive) for their whole run. The writes take no
// lock: callers whose writes may run at the same time as other INI calls serialise them, for
// instance by holding Get_INI_Mutex() across the calls.
#ifndef VELMOR_INI_READER_H_
#define VELMOR_INI_READER_H_

#include <stddef.h>
#include <stdint.h>

#include "Mutex_pthreads.h"

// Looks key up in section of the INI text ini_text (left unchanged). The whole output buffer
// (out_size >= 1 bytes) is zeroed first; the value found, or else def, is copied in cut to
// out_size - 1 bytes and terminated. Returns out when the key was found or def is not null;
// null otherwise (out then all zero).
char* Get_INI_String_Memory(const char* ini_text, const char* section, const char* key, char* out,
                            size_t out_size, const char* def);
// The same for the file at path. A file that cannot be opened counts as one without the key.
// A file that cannot be read whole (an empty one included) gives null and leaves out untouched.
char* Get_INI_String(const char* path, const char* section, const char* key, char* out,
                     size_t out_size, const char* def);
// The value as a signed 64-bit integer (converted as strtoll in base 10 does: "12abc" is 12,
// "abc" and "" are 0), or def when Get_INI_String finds nothing.
int64_t Get_INI_Int(const char* path, const char* section, const char* key, int64_t def);
// Sets key to value in section of the file at path, creating the file, the section or the key
// as needed. 0 on success, -1 with errno set on failure (the file is then left as it was): a
// file that exists but cannot be read or written or is empty, a directory that takes no new
// file, a failed write. Refused as well: a symbolic link at path (ELOOP; it is never written
// through), a file that belongs to another user than the effective one (EPERM) or is not a
// regular file (EINVAL), and a section holding ']', a key holding '=' or starting with '[', or
// any of them holding a line break (EINVAL), all of which would change other lines of the file.
int Write_INI_String(const char* path, const char* section, const char* key, const char* value);
// Write_INI_String of the value in decimal.
int Write_INI_Int(const char* path, const char* section, const char* key, int64_t value);
// The INI lock, created on first use, for callers that must hold it across several calls.
Orvex_Mutex_pthreads* Get_INI_Mutex();

#endif  // VELMOR_INI_READER_H_
