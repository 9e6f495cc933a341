// Keys and signatures in minisign's file formats, so that files signed here verify with the
// minisign program and the other way round. Ed25519 through OpenSSL's EVP interface; the
// prehashed algorithm ("ED") signs the BLAKE2b-512 digest of the data, the legacy one ("Ed") the
// data itself. Every signature carries a trusted comment, bound to the signature by a second
// ("global") signature over the signature bytes and the comment text.
//
// Public key file:  "untrusted comment: ..." line, then base64 of "Ed", 8-byte key id, 32-byte
//                   public key.
// Signature file:   "untrusted comment: ..." line; base64 of algorithm, key id, 64-byte
//                   signature; "trusted comment: TEXT" line; base64 of the global signature.
//                   A file may hold several such blocks one after the other (a release signed by
//                   an old and a new key during a key change); minisign itself reads the first.
// Secret key file:  "untrusted comment: ..." line, then base64 of "Ed", KDF algorithm ("Sc" for
//                   scrypt, two zero bytes for none), "B2", 32-byte salt, 8-byte little-endian
//                   opslimit and memlimit, then key id, 64-byte secret key (seed and public key)
//                   and a 32-byte BLAKE2b checksum, these three XORed with the scrypt stream of
//                   the password when encrypted.
//
// Thread rules: no shared state; every function may run in any thread.
#ifndef VELMOR_MINISIGN_H_
#define VELMOR_MINISIGN_H_

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace minisign {

const size_t kKeyIdSize = 8;
const size_t kPublicKeySize = 32;
const size_t kSeedSize = 32;
const size_t kSignatureSize = 64;

struct PublicKey {
  uint8_t id[kKeyIdSize] = {};
  uint8_t key[kPublicKeySize] = {};
};

// The secret half of a key pair; its bytes are wiped when it goes.
struct SecretKey {
  SecretKey() = default;
  SecretKey(const SecretKey&) = default;
  SecretKey& operator=(const SecretKey&) = default;
  ~SecretKey();
  uint8_t id[kKeyIdSize] = {};
  uint8_t seed[kSeedSize] = {};
  uint8_t publicKey[kPublicKeySize] = {};
};

enum class Algorithm {
  kPrehashed,  // "ED": Ed25519 over the BLAKE2b-512 digest of the data
  kLegacy,     // "Ed": Ed25519 over the data itself
};

// Cost of the scrypt derivation that protects an encrypted secret key, in libsodium's terms.
struct KdfCost {
  uint64_t opslimit;
  uint64_t memlimit;
};
// What minisign itself uses (1 GiB of memory, a few seconds).
const KdfCost kSensitiveCost = {33554432, 1073741824};

// The key id as minisign shows it: 16 upper-case hex digits, the bytes read as a little-endian
// number.
std::string KeyIdText(const uint8_t id[kKeyIdSize]);

// Draws a fresh key pair and key id. True on success; false with *error (OpenSSL's reason).
bool GenerateKeyPair(SecretKey* secret, PublicKey* pub, std::string* error);

// The public half of a secret key.
PublicKey PublicOf(const SecretKey& secret);

// The text of a public key file. Always succeeds.
std::string FormatPublicKey(const PublicKey& pub);

// Reads every public key in text: the contents of one or more key files one after the other,
// or bare base64 key lines; comment lines and blank lines are skipped. True with at least one
// key appended to *keys; false with *error when a key line is malformed or none is present.
bool ParsePublicKeys(const std::string& text, std::vector<PublicKey>* keys, std::string* error);

// The text of a secret key file, scrypt-encrypted under password at the given cost, or
// unencrypted when password is null. True on success; false with *error.
bool FormatSecretKey(const SecretKey& secret, const std::string* password, KdfCost cost,
                     std::string* text, std::string* error);

// Reads a secret key file's text. An encrypted key needs password (false with *error saying so
// when it is null); a wrong password is told apart from a damaged file by the checksum. True on
// success; false with *error.
bool ParseSecretKey(const std::string& text, const std::string* password, SecretKey* secret,
                    std::string* error);

// Signs data and returns the text of a signature block (four lines) with the given trusted
// comment, which may not hold a line break. True on success; false with *error.
bool Sign(const SecretKey& secret, const void* data, size_t size, Algorithm algorithm,
          const std::string& trustedComment, std::string* text, std::string* error);

// The result of checking a signature file against a set of trusted keys.
enum class Verdict {
  kValid,
  kMalformed,     // not a signature file
  kUnknownKey,    // no block is signed by a trusted key
  kBadSignature,  // the signature does not match the data
  kBadComment,    // the trusted comment was changed after signing
};

// Checks the signature file's text against data. kValid when some block is by one of keys and
// both its signature and its global signature verify; *trustedComment then holds that block's
// comment and *keyId the key id. Otherwise the verdict of the block by a trusted key (or
// kUnknownKey / kMalformed) with *error saying what failed, naming key ids in hex.
Verdict Verify(const std::vector<PublicKey>& keys, const void* data, size_t size,
               const std::string& signature, std::string* trustedComment, std::string* keyId,
               std::string* error);

// As Verify, for the data in the file open at fd, read with pread from its start to its end. A
// prehashed signature reads the file in blocks and never holds it; a legacy one reads it whole.
// A read failure gives kBadSignature with *error naming the system's reason.
Verdict VerifyFile(const std::vector<PublicKey>& keys, int fd, const std::string& signature,
                   std::string* trustedComment, std::string* keyId, std::string* error);

}  // namespace minisign

#endif  // VELMOR_MINISIGN_H_
