// Signing for the publisher: key pairs in minisign's format, signature files beside the
// update-information documents, and the `sign` command that (re-)signs a document published
// elsewhere, so that the secret key can stay on an offline machine. Also the document's rollback
// and freeze guards as the publisher sets them: "serial" and "expires" on the root element.
//
// Thread rules: no shared state.
#ifndef TOOLS_PUBLISH_SIGNING_H_
#define TOOLS_PUBLISH_SIGNING_H_

#include <stdint.h>

#include <string>
#include <vector>

#include "minisign.h"

// Suffix of the signature file beside a document.
const char* const kSignatureSuffix = ".minisig";
// Default lifetime of a document, in days.
const int kDefaultExpiresInDays = 30;
// Longest lifetime accepted, in days (ten years).
const int kMaxExpiresInDays = 3660;

// A secret key file and the file holding its password (empty: the key is not encrypted).
struct SignKeySpec {
  std::string key_file;
  std::string password_file;
};

// The password: the first line of the file without its line end. True on success; false with
// *error naming the file (an empty password is refused).
bool ReadPasswordFile(const std::string& path, std::string* password, std::string* error);

// Reads every key. True on success; false with *error naming the key file and the reason.
bool LoadSignKeys(const std::vector<SignKeySpec>& specs, std::vector<minisign::SecretKey>* keys,
                  std::string* error);

// Writes a new key pair: the secret key (mode 0600; scrypt-encrypted when password_file is not
// empty) and the public key. Refuses, writing nothing, when either file exists. True on success;
// false with *error. *key_id is the new key's id.
bool GenerateKeyFiles(const std::string& secret_path, const std::string& public_path,
                      const std::string& password_file, std::string* key_id, std::string* error);

// The signature file of text: one prehashed block per key, each with minisign's trusted comment
// (time stamp and file name). True on success; false with *error.
bool SignatureFor(const std::vector<minisign::SecretKey>& keys, const std::string& text,
                  const std::string& file_name, int64_t now, std::string* signature,
                  std::string* error);

// The "expires" value for now plus days.
std::string ExpiryAfter(int64_t now, int days);

// Sets (or replaces) the "serial" and "expires" attributes of the document's root element,
// leaving every other byte of the text as it was. True on success; false with *error when the
// text has no update_info element.
bool SetRootGuards(std::string* text, uint64_t serial, const std::string& expires,
                   std::string* error);

// The "serial" of a document's text: 0 when it has none or is not a document.
uint64_t SerialOf(const std::string& text);

struct SignDocumentOptions {
  std::string document;
  std::vector<SignKeySpec> keys;
  int expires_in_days = kDefaultExpiresInDays;
  uint64_t serial = 0;  // 0: one more than the document's
  int64_t now = 0;      // seconds since the epoch
};

// The `sign` command: sets the document's serial (one more than it had, or the one given, which
// may not be lower) and expiry, then writes the document and DOCUMENT.minisig, each atomically.
// True on success with *serial_out; false with *error (nothing written when the document, the
// keys or the serial are at fault).
bool SignDocument(const SignDocumentOptions& opts, uint64_t* serial_out, std::string* error);

#endif  // TOOLS_PUBLISH_SIGNING_H_
