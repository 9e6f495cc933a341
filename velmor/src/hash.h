// Message digests through OpenSSL's EVP interface, chosen by OpenSSL's digest name ("md5",
// "sha256" or any other name OpenSSL knows), with lower-case hexadecimal text output: two digits
// per byte, high nibble first, then a terminating zero. A digest of n bytes needs a text buffer
// of 2n + 1 bytes (33 for MD5, 65 for SHA-256). Streams are read in blocks from a buffer on the
// stack; a digest never holds a whole file in memory.
//
// Thread rules: the functions keep no shared state; each call works on its own context and may
// run in any thread. A HashContext is used by one thread at a time.
#ifndef VELMOR_HASH_H_
#define VELMOR_HASH_H_

#include <openssl/evp.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "stream_handle.h"

// An incremental digest; taken from the tracked allocator by hash_init, released by hash_finish.
struct HashContext {
  int64_t digest_size;  // bytes in the digest (16 for MD5, 32 for SHA-256)
  int64_t block_size;   // the digest's input block size; recorded only
  EVP_MD_CTX* ctx;      // owned OpenSSL context
  const EVP_MD* md;     // the digest description looked up by name
};

// A new context for the named digest, or null when OpenSSL knows no digest of that name (or the
// context cannot be set up).
HashContext* hash_init(const char* name);

// Feeds length bytes to the digest. Returns OpenSSL's update result (1 on success); 0 for a null
// context, or null data with a non-zero length.
int hash_update(HashContext* context, const void* data, size_t length);

// Finishes the digest into out and releases the context, which must not be used again. When
// out_size is smaller than the digest, prints "VSL: Output buffer too small in hash_finish()!"
// and delivers only the first out_size bytes. Returns true; false only for a null context.
bool hash_finish(HashContext* context, void* out, size_t out_size);

// Writes the hex digest of length bytes at data into text. Returns true on success; false (text
// untouched) when the name is unknown, text_size < 2 * digest size + 1, or text is null.
bool hash_buffer(const char* name, const void* data, size_t length, char* text, size_t text_size);

// Digests the whole stream from its first byte, wherever it was positioned. Returns true when
// the whole stream was read. Returns false with text untouched for an unknown name or a text
// buffer that is too small; false with the digest of the bytes read so far in text when a read
// comes up short or the stream cannot be measured (seek or tell fails).
bool hash_handle(const char* name, StreamHandle* handle, char* text, size_t text_size);

// As hash_handle over the file at path, opened for reading ("rb"); false when it cannot be
// opened or memory runs out (text untouched).
bool hash_file(const char* name, const char* path, char* text, size_t text_size);

// As hash_handle over the caller's open stream, which stays open and is left after the bytes
// read; false for a null fp or when memory runs out (text untouched).
bool hash_fp(const char* name, FILE* fp, char* text, size_t text_size);

// Writes two lower-case hex digits per byte and a terminating zero at text[2 * length]; text
// must hold 2 * length + 1 bytes. Any length is handled. Returns text.
char* bin_to_hex(const void* bytes, size_t length, char* text);

// Fills out_size bytes of out with zeros, then converts each pair of hex characters into one
// byte (a character that is not a hex digit counts as 0). Returns true when converted; false for
// a null or odd-length text, or when out_size is less than half the text length.
bool hex_to_bin(const char* hex, void* out, size_t out_size);

// The value 0 to 15 of a hex digit ("0"-"9", "a"-"f", "A"-"F"), or 0 for any other character.
int hex_digit_value(char ch);

#endif  // VELMOR_HASH_H_
