// Base64 with the standard alphabet ("A"-"Z", "a"-"z", "0"-"9", "+", "/"), "=" padding and no
// line breaks. The caller provides the buffers: encoding length bytes needs
// 4 * ceil(length / 3) + 1 bytes of text; decoding length characters needs 3 * length / 4 bytes.
//
// Thread rules: the functions keep no state and may run in any thread.
#ifndef VELMOR_BASE64_H_
#define VELMOR_BASE64_H_

#include <stddef.h>
#include <stdint.h>

// Writes the base64 text of length input bytes and a terminating zero into output. Returns the
// number of characters written, not counting the zero (always a multiple of 4; 0 for an empty
// input).
size_t base64_encode(const void* input, size_t length, char* output);

// Decodes length characters of base64 text into output. Returns the number of bytes written, or
// -1 when the text is not valid base64 (a length that is not a multiple of 4, a character outside
// the alphabet, an "=" before the last two positions); bytes decoded before the fault may already
// be in output. A length of 0 returns 0.
int64_t base64_decode(const char* input, size_t length, void* output);

#endif  // VELMOR_BASE64_H_
