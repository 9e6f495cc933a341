#include "hash.h"

#include <string.h>

#include <new>

#include "memleak.h"

namespace {

// Size of each read from a stream. The buffer lives on the stack.
constexpr unsigned int kReadBlock = 32768;

// Smallest text buffer that holds the hex form of the context's digest.
size_t TextSizeFor(const HashContext* context) {
  return static_cast<size_t>(context->digest_size) * 2 + 1;
}

// Releases a context without finishing it.
void Discard(HashContext* context) {
  EVP_MD_CTX_free(context->ctx);
  zfree(context, __FILE__, __LINE__);
}

// Finishes the digest, releases the context and writes the hex text.
void FinishToText(HashContext* context, char* text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  size_t size = static_cast<size_t>(context->digest_size);
  hash_finish(context, digest, size);
  bin_to_hex(digest, size, text);
}

}  // namespace

HashContext* hash_init(const char* name) {
  if (name == nullptr) return nullptr;
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  if (ctx == nullptr) return nullptr;
  const EVP_MD* md = EVP_get_digestbyname(name);
  // The digest must fit the fixed-size buffers that finishing uses.
  if (md == nullptr || EVP_MD_size(md) <= 0 || EVP_MD_size(md) > EVP_MAX_MD_SIZE ||
      EVP_DigestInit_ex(ctx, md, nullptr) != 1) {
    EVP_MD_CTX_free(ctx);
    return nullptr;
  }
  HashContext* context =
      static_cast<HashContext*>(zmalloc(sizeof(HashContext), __FILE__, __LINE__));
  if (context == nullptr) {
    EVP_MD_CTX_free(ctx);
    return nullptr;
  }
  context->digest_size = EVP_MD_size(md);
  context->block_size = EVP_MD_block_size(md);
  context->ctx = ctx;
  context->md = md;
  return context;
}

int hash_update(HashContext* context, const void* data, size_t length) {
  if (context == nullptr || (data == nullptr && length > 0)) return 0;
  return EVP_DigestUpdate(context->ctx, data, length);
}

bool hash_finish(HashContext* context, void* out, size_t out_size) {
  if (context == nullptr) return false;
  size_t size = static_cast<size_t>(context->digest_size);
  if (out_size < size) {
    printf("VSL: Output buffer too small in hash_finish()!\n");
    unsigned char digest[EVP_MAX_MD_SIZE];
    EVP_DigestFinal_ex(context->ctx, digest, nullptr);
    if (out_size > 0) memcpy(out, digest, out_size);
  } else {
    EVP_DigestFinal_ex(context->ctx, static_cast<unsigned char*>(out), nullptr);
  }
  Discard(context);
  return true;
}

bool hash_buffer(const char* name, const void* data, size_t length, char* text, size_t text_size) {
  if (text == nullptr || (data == nullptr && length > 0)) return false;
  HashContext* context = hash_init(name);
  if (context == nullptr) return false;
  if (text_size < TextSizeFor(context)) {
    Discard(context);
    return false;
  }
  if (hash_update(context, data, length) != 1) {
    Discard(context);
    return false;
  }
  FinishToText(context, text);
  return true;
}

bool hash_handle(const char* name, StreamHandle* handle, char* text, size_t text_size) {
  if (handle == nullptr || text == nullptr) return false;
  HashContext* context = hash_init(name);
  if (context == nullptr) return false;
  if (text_size < TextSizeFor(context)) {
    Discard(context);
    return false;
  }
  // Measure the stream, then digest it from its first byte. A stream that cannot be measured
  // (a pipe, say) is not digested: its length would be unknown.
  bool measured = handle->seek(handle, 0, 2) == 0;
  int64_t remaining = measured ? handle->tell(handle) : -1;
  measured = remaining >= 0 && handle->seek(handle, 0, 0) == 0;
  bool whole = measured;
  if (measured) {
    unsigned char block[kReadBlock];
    while (remaining > 0) {
      unsigned int want =
          remaining < kReadBlock ? static_cast<unsigned int>(remaining) : kReadBlock;
      int64_t got = handle->read(block, want, handle);
      if (got != static_cast<int64_t>(want) || hash_update(context, block, want) != 1) {
        whole = false;
        break;
      }
      remaining -= want;
    }
  }
  FinishToText(context, text);
  return whole;
}

bool hash_file(const char* name, const char* path, char* text, size_t text_size) {
  StreamHandle* handle;
  try {
    handle = OpenFileHandle(path, "rb");
  } catch (const std::bad_alloc&) {
    return false;  // no memory for the handle: a failure like any other
  }
  if (handle == nullptr) return false;
  bool result = hash_handle(name, handle, text, text_size);
  handle->close(handle);
  return result;
}

bool hash_fp(const char* name, FILE* fp, char* text, size_t text_size) {
  if (fp == nullptr) return false;
  StreamHandle* handle;
  try {
    handle = WrapFileHandle(fp, false);
  } catch (const std::bad_alloc&) {
    return false;
  }
  bool result = hash_handle(name, handle, text, text_size);
  handle->close(handle);
  return result;
}

char* bin_to_hex(const void* bytes, size_t length, char* text) {
  static const char kDigits[] = "0123456789abcdef";
  const unsigned char* in = static_cast<const unsigned char*>(bytes);
  for (size_t i = 0; i < length; ++i) {
    text[2 * i] = kDigits[in[i] >> 4];
    text[2 * i + 1] = kDigits[in[i] & 0x0F];
  }
  text[2 * length] = '\0';
  return text;
}

bool hex_to_bin(const char* hex, void* out, size_t out_size) {
  unsigned char* bytes = static_cast<unsigned char*>(out);
  if (out_size > 0) memset(bytes, 0, out_size);
  if (hex == nullptr) return false;
  size_t length = strlen(hex);
  if (length % 2 != 0 || out_size < length / 2) return false;
  for (size_t i = 0; i < length / 2; ++i) {
    bytes[i] = static_cast<unsigned char>(hex_digit_value(hex[2 * i]) * 16 +
                                          hex_digit_value(hex[2 * i + 1]));
  }
  return true;
}

int hex_digit_value(char ch) {
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  if (ch >= '0' && ch <= '9') return ch - '0';
  return 0;
}
