#include "minisign.h"

#include <errno.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/rand.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <vector>

#include "base64.h"

namespace minisign {
namespace {

const char kUntrustedPrefix[] = "untrusted comment: ";
const char kTrustedPrefix[] = "trusted comment: ";
const uint8_t kAlgLegacy[2] = {'E', 'd'};
const uint8_t kAlgPrehashed[2] = {'E', 'D'};
const uint8_t kKdfScrypt[2] = {'S', 'c'};
const uint8_t kKdfNone[2] = {0, 0};
const uint8_t kChecksumAlg[2] = {'B', '2'};
const size_t kSaltSize = 32;
const size_t kChecksumSize = 32;
// Key id, secret key (seed and public key) and checksum: the part the password protects.
const size_t kSealedSize = kKeyIdSize + kSeedSize + kPublicKeySize + kChecksumSize;
const size_t kSecretFileSize = 2 + 2 + 2 + kSaltSize + 8 + 8 + kSealedSize;
const size_t kPublicFileSize = 2 + kKeyIdSize + kPublicKeySize;
const size_t kSignatureLineSize = 2 + kKeyIdSize + kSignatureSize;
// A secret key file asking for more scrypt memory than this is refused as damaged.
const uint64_t kMaxScryptMemory = 4ULL << 30;

struct PkeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

// Wipes a byte buffer when the scope ends.
struct Wiped {
  uint8_t* p;
  size_t n;
  ~Wiped() { OPENSSL_cleanse(p, n); }
};

std::string OpenSslReason(const char* what) {
  unsigned long code = ERR_get_error();
  ERR_clear_error();
  char buf[256];
  ERR_error_string_n(code, buf, sizeof(buf));
  return std::string(what) + " failed (" + (code ? buf : "no OpenSSL reason") + ")";
}

// ---- BLAKE2b with a chosen output length (RFC 7693): OpenSSL offers only the 64-byte form
// unkeyed, and the key file's checksum is the 32-byte form. ----

const uint64_t kBlakeIv[8] = {0x6a09e667f3bcc908ULL, 0xbb67ae8584caa73bULL, 0x3c6ef372fe94f82bULL,
                              0xa54ff53a5f1d36f1ULL, 0x510e527fade682d1ULL, 0x9b05688c2b3e6c1fULL,
                              0x1f83d9abfb41bd6bULL, 0x5be0cd19137e2179ULL};
const uint8_t kBlakeSigma[12][16] = {{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
                                     {14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3},
                                     {11, 8, 12, 0, 5, 2, 15, 13, 10, 14, 3, 6, 7, 1, 9, 4},
                                     {7, 9, 3, 1, 13, 12, 11, 14, 2, 6, 5, 10, 4, 0, 15, 8},
                                     {9, 0, 5, 7, 2, 4, 10, 15, 14, 1, 11, 12, 6, 8, 3, 13},
                                     {2, 12, 6, 10, 0, 11, 8, 3, 4, 13, 7, 5, 15, 14, 1, 9},
                                     {12, 5, 1, 15, 14, 13, 4, 10, 0, 7, 6, 3, 9, 2, 8, 11},
                                     {13, 11, 7, 14, 12, 1, 3, 9, 5, 0, 15, 4, 8, 6, 2, 10},
                                     {6, 15, 14, 9, 11, 3, 0, 8, 12, 2, 13, 7, 1, 4, 10, 5},
                                     {10, 2, 8, 4, 7, 6, 1, 5, 15, 11, 9, 14, 3, 12, 13, 0},
                                     {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
                                     {14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3}};

uint64_t Rotr64(uint64_t x, int n) { return (x >> n) | (x << (64 - n)); }

uint64_t Load64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; i--) v = (v << 8) | p[i];
  return v;
}

void Store64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; i++) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void BlakeCompress(uint64_t h[8], const uint8_t block[128], uint64_t counter, bool last) {
  uint64_t v[16], m[16];
  for (int i = 0; i < 8; i++) v[i] = h[i], v[i + 8] = kBlakeIv[i];
  v[12] ^= counter;
  if (last) v[14] = ~v[14];
  for (int i = 0; i < 16; i++) m[i] = Load64(block + 8 * i);
  auto g = [&v](int a, int b, int c, int d, uint64_t x, uint64_t y) {
    v[a] = v[a] + v[b] + x;
    v[d] = Rotr64(v[d] ^ v[a], 32);
    v[c] = v[c] + v[d];
    v[b] = Rotr64(v[b] ^ v[c], 24);
    v[a] = v[a] + v[b] + y;
    v[d] = Rotr64(v[d] ^ v[a], 16);
    v[c] = v[c] + v[d];
    v[b] = Rotr64(v[b] ^ v[c], 63);
  };
  for (int r = 0; r < 12; r++) {
    const uint8_t* s = kBlakeSigma[r];
    g(0, 4, 8, 12, m[s[0]], m[s[1]]);
    g(1, 5, 9, 13, m[s[2]], m[s[3]]);
    g(2, 6, 10, 14, m[s[4]], m[s[5]]);
    g(3, 7, 11, 15, m[s[6]], m[s[7]]);
    g(0, 5, 10, 15, m[s[8]], m[s[9]]);
    g(1, 6, 11, 12, m[s[10]], m[s[11]]);
    g(2, 7, 8, 13, m[s[12]], m[s[13]]);
    g(3, 4, 9, 14, m[s[14]], m[s[15]]);
  }
  for (int i = 0; i < 8; i++) h[i] ^= v[i] ^ v[i + 8];
}

// Unkeyed BLAKE2b of data with an output of outSize (1 to 64) bytes.
void Blake2b(const uint8_t* data, size_t size, uint8_t* out, size_t outSize) {
  uint64_t h[8];
  memcpy(h, kBlakeIv, sizeof(h));
  h[0] ^= 0x01010000ULL ^ outSize;
  uint8_t block[128];
  uint64_t counter = 0;
  // The last block (full or not) is compressed with the final flag, so a full block is held
  // back while more data may follow.
  while (size > 128) {
    counter += 128;
    BlakeCompress(h, data, counter, false);
    data += 128;
    size -= 128;
  }
  memset(block, 0, sizeof(block));
  memcpy(block, data, size);
  counter += size;
  BlakeCompress(h, block, counter, true);
  uint8_t full[64];
  for (int i = 0; i < 8; i++) Store64(full + 8 * i, h[i]);
  memcpy(out, full, outSize);
}

// ---- Ed25519 and BLAKE2b-512 through OpenSSL ----

bool Blake2b512(const void* data, size_t size, uint8_t out[64], std::string* error) {
  unsigned int len = 0;
  if (EVP_Digest(data, size, out, &len, EVP_blake2b512(), nullptr) != 1 || len != 64) {
    *error = OpenSslReason("BLAKE2b-512");
    return false;
  }
  return true;
}

bool Ed25519Sign(const uint8_t seed[kSeedSize], const uint8_t* msg, size_t size,
                 uint8_t sig[kSignatureSize], std::string* error) {
  PkeyPtr key(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed, kSeedSize));
  MdCtxPtr ctx(EVP_MD_CTX_new());
  size_t len = kSignatureSize;
  if (!key || !ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
      EVP_DigestSign(ctx.get(), sig, &len, msg, size) != 1 || len != kSignatureSize) {
    *error = OpenSslReason("Ed25519 signing");
    return false;
  }
  return true;
}

bool Ed25519Verify(const uint8_t pub[kPublicKeySize], const uint8_t* msg, size_t size,
                   const uint8_t sig[kSignatureSize]) {
  PkeyPtr key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, pub, kPublicKeySize));
  MdCtxPtr ctx(EVP_MD_CTX_new());
  bool ok = key && ctx &&
            EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
            EVP_DigestVerify(ctx.get(), sig, kSignatureSize, msg, size) == 1;
  ERR_clear_error();
  return ok;
}

bool PublicFromSeed(const uint8_t seed[kSeedSize], uint8_t pub[kPublicKeySize],
                    std::string* error) {
  PkeyPtr key(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed, kSeedSize));
  size_t len = kPublicKeySize;
  if (!key || EVP_PKEY_get_raw_public_key(key.get(), pub, &len) != 1 || len != kPublicKeySize) {
    *error = OpenSslReason("Ed25519 public key derivation");
    return false;
  }
  return true;
}

// ---- scrypt as libsodium parameterises it ----

struct ScryptParams {
  uint64_t n;
  uint64_t r;
  uint64_t p;
};

ScryptParams PickScryptParams(uint64_t opslimit, uint64_t memlimit) {
  if (opslimit < 32768) opslimit = 32768;
  ScryptParams s{0, 8, 1};
  uint64_t maxN;
  int nLog2;
  if (opslimit < memlimit / 32) {
    maxN = opslimit / (s.r * 4);
    for (nLog2 = 1; nLog2 < 63; nLog2++) {
      if ((1ULL << nLog2) > maxN / 2) break;
    }
  } else {
    maxN = memlimit / (s.r * 128);
    for (nLog2 = 1; nLog2 < 63; nLog2++) {
      if ((1ULL << nLog2) > maxN / 2) break;
    }
    uint64_t maxrp = (opslimit / 4) / (1ULL << nLog2);
    if (maxrp > 0x3fffffff) maxrp = 0x3fffffff;
    s.p = static_cast<uint32_t>(maxrp) / s.r;
  }
  s.n = 1ULL << nLog2;
  return s;
}

bool ScryptStream(const std::string& password, const uint8_t salt[kSaltSize], KdfCost cost,
                  uint8_t* out, size_t size, std::string* error) {
  ScryptParams s = PickScryptParams(cost.opslimit, cost.memlimit);
  uint64_t memory = 128 * s.r * (s.n + 2) + 128 * s.r * s.p;
  if (s.p == 0 || s.n > (1ULL << 40) || memory > kMaxScryptMemory) {
    *error = "the key's scrypt cost is out of range (opslimit " + std::to_string(cost.opslimit) +
             ", memlimit " + std::to_string(cost.memlimit) + ")";
    return false;
  }
  if (EVP_PBE_scrypt(password.data(), password.size(), salt, kSaltSize, s.n, s.r, s.p,
                     memory + (1 << 20), out, size) != 1) {
    *error = OpenSslReason("scrypt key derivation");
    return false;
  }
  return true;
}

void KeyChecksum(const uint8_t* keyIdAndSecret, uint8_t out[kChecksumSize]) {
  uint8_t buf[2 + kKeyIdSize + kSeedSize + kPublicKeySize];
  memcpy(buf, kAlgLegacy, 2);
  memcpy(buf + 2, keyIdAndSecret, sizeof(buf) - 2);
  Blake2b(buf, sizeof(buf), out, kChecksumSize);
  OPENSSL_cleanse(buf, sizeof(buf));
}

// ---- Text ----

std::string Base64(const uint8_t* data, size_t size) {
  std::string out(4 * ((size + 2) / 3) + 1, '\0');
  out.resize(base64_encode(data, size, &out[0]));
  return out;
}

// Decodes a base64 line that must give exactly size bytes.
bool DecodeExact(const std::string& line, uint8_t* out, size_t size) {
  if (line.size() != 4 * ((size + 2) / 3)) return false;
  std::string buf(3 * line.size() / 4, '\0');
  int64_t n = base64_decode(line.data(), line.size(), &buf[0]);
  bool ok = n == static_cast<int64_t>(size);
  if (ok) memcpy(out, buf.data(), size);
  OPENSSL_cleanse(&buf[0], buf.size());
  return ok;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    pos = end + 1;
  }
  return lines;
}

bool StartsWith(const std::string& s, const char* prefix) {
  return s.compare(0, strlen(prefix), prefix) == 0;
}

// One block of a signature file.
struct SignatureBlock {
  bool prehashed = false;
  uint8_t id[kKeyIdSize] = {};
  uint8_t sig[kSignatureSize] = {};
  std::string comment;
  uint8_t global[kSignatureSize] = {};
};

bool ParseBlocks(const std::string& text, std::vector<SignatureBlock>* blocks, std::string* error) {
  std::vector<std::string> lines = Lines(text);
  size_t i = 0;
  while (i < lines.size()) {
    if (lines[i].empty()) {
      i++;
      continue;
    }
    size_t line = i + 1;
    if (i + 4 > lines.size() || !StartsWith(lines[i], kUntrustedPrefix) ||
        !StartsWith(lines[i + 2], kTrustedPrefix)) {
      *error = "not a minisign signature (line " + std::to_string(line) + ")";
      return false;
    }
    SignatureBlock b;
    uint8_t raw[kSignatureLineSize];
    if (!DecodeExact(lines[i + 1], raw, sizeof(raw)) ||
        (memcmp(raw, kAlgLegacy, 2) != 0 && memcmp(raw, kAlgPrehashed, 2) != 0)) {
      *error = "malformed signature line " + std::to_string(line + 1);
      return false;
    }
    b.prehashed = memcmp(raw, kAlgPrehashed, 2) == 0;
    memcpy(b.id, raw + 2, kKeyIdSize);
    memcpy(b.sig, raw + 2 + kKeyIdSize, kSignatureSize);
    b.comment = lines[i + 2].substr(strlen(kTrustedPrefix));
    if (!DecodeExact(lines[i + 3], b.global, sizeof(b.global))) {
      *error = "malformed global signature line " + std::to_string(line + 3);
      return false;
    }
    blocks->push_back(b);
    i += 4;
  }
  if (blocks->empty()) {
    *error = "empty signature file";
    return false;
  }
  return true;
}

}  // namespace

SecretKey::~SecretKey() { OPENSSL_cleanse(seed, sizeof(seed)); }

std::string KeyIdText(const uint8_t id[kKeyIdSize]) {
  char hex[2 * kKeyIdSize + 1];
  for (size_t i = 0; i < kKeyIdSize; i++) {
    snprintf(hex + 2 * i, 3, "%02X", id[kKeyIdSize - 1 - i]);
  }
  return hex;
}

bool GenerateKeyPair(SecretKey* secret, PublicKey* pub, std::string* error) {
  if (RAND_bytes(secret->seed, kSeedSize) != 1 || RAND_bytes(secret->id, kKeyIdSize) != 1) {
    *error = OpenSslReason("drawing random bytes");
    return false;
  }
  if (!PublicFromSeed(secret->seed, secret->publicKey, error)) return false;
  *pub = PublicOf(*secret);
  return true;
}

PublicKey PublicOf(const SecretKey& secret) {
  PublicKey pub;
  memcpy(pub.id, secret.id, kKeyIdSize);
  memcpy(pub.key, secret.publicKey, kPublicKeySize);
  return pub;
}

std::string FormatPublicKey(const PublicKey& pub) {
  uint8_t raw[kPublicFileSize];
  memcpy(raw, kAlgLegacy, 2);
  memcpy(raw + 2, pub.id, kKeyIdSize);
  memcpy(raw + 2 + kKeyIdSize, pub.key, kPublicKeySize);
  return std::string(kUntrustedPrefix) + "minisign public key " + KeyIdText(pub.id) + "\n" +
         Base64(raw, sizeof(raw)) + "\n";
}

bool ParsePublicKeys(const std::string& text, std::vector<PublicKey>* keys, std::string* error) {
  std::vector<std::string> lines = Lines(text);
  size_t found = 0;
  for (size_t i = 0; i < lines.size(); i++) {
    const std::string& l = lines[i];
    if (l.empty() || StartsWith(l, kUntrustedPrefix) || l[0] == '#') continue;
    uint8_t raw[kPublicFileSize];
    if (!DecodeExact(l, raw, sizeof(raw)) || memcmp(raw, kAlgLegacy, 2) != 0) {
      *error = "line " + std::to_string(i + 1) + " is not a minisign public key";
      return false;
    }
    PublicKey k;
    memcpy(k.id, raw + 2, kKeyIdSize);
    memcpy(k.key, raw + 2 + kKeyIdSize, kPublicKeySize);
    keys->push_back(k);
    found++;
  }
  if (found == 0) {
    *error = "no minisign public key in it";
    return false;
  }
  return true;
}

bool FormatSecretKey(const SecretKey& secret, const std::string* password, KdfCost cost,
                     std::string* text, std::string* error) {
  uint8_t raw[kSecretFileSize] = {};
  Wiped wipe{raw, sizeof(raw)};
  uint8_t* p = raw;
  memcpy(p, kAlgLegacy, 2);
  memcpy(p + 2, password ? kKdfScrypt : kKdfNone, 2);
  memcpy(p + 4, kChecksumAlg, 2);
  p += 6;
  uint8_t* salt = p;
  p += kSaltSize;
  if (password) {
    if (RAND_bytes(salt, kSaltSize) != 1) {
      *error = OpenSslReason("drawing random bytes");
      return false;
    }
    Store64(p, cost.opslimit);
    Store64(p + 8, cost.memlimit);
  }
  p += 16;
  uint8_t* sealed = p;
  memcpy(p, secret.id, kKeyIdSize);
  memcpy(p + kKeyIdSize, secret.seed, kSeedSize);
  memcpy(p + kKeyIdSize + kSeedSize, secret.publicKey, kPublicKeySize);
  KeyChecksum(sealed, sealed + kKeyIdSize + kSeedSize + kPublicKeySize);
  if (password) {
    uint8_t stream[kSealedSize];
    Wiped wipeStream{stream, sizeof(stream)};
    if (!ScryptStream(*password, salt, cost, stream, sizeof(stream), error)) return false;
    for (size_t i = 0; i < kSealedSize; i++) sealed[i] ^= stream[i];
  }
  *text = std::string(kUntrustedPrefix) +
          (password ? "minisign encrypted secret key" : "minisign secret key (unencrypted)") +
          "\n" + Base64(raw, sizeof(raw)) + "\n";
  return true;
}

bool ParseSecretKey(const std::string& text, const std::string* password, SecretKey* secret,
                    std::string* error) {
  std::vector<std::string> lines = Lines(text);
  uint8_t raw[kSecretFileSize];
  Wiped wipe{raw, sizeof(raw)};
  if (lines.size() < 2 || !StartsWith(lines[0], kUntrustedPrefix) ||
      !DecodeExact(lines[1], raw, sizeof(raw)) || memcmp(raw, kAlgLegacy, 2) != 0 ||
      memcmp(raw + 4, kChecksumAlg, 2) != 0) {
    *error = "not a minisign secret key";
    return false;
  }
  const bool encrypted = memcmp(raw + 2, kKdfScrypt, 2) == 0;
  if (!encrypted && memcmp(raw + 2, kKdfNone, 2) != 0) {
    *error = "unknown key derivation in the secret key";
    return false;
  }
  const uint8_t* salt = raw + 6;
  KdfCost cost{Load64(raw + 6 + kSaltSize), Load64(raw + 6 + kSaltSize + 8)};
  uint8_t* sealed = raw + 6 + kSaltSize + 16;
  if (encrypted) {
    if (!password) {
      *error = "the secret key is encrypted: a password is needed";
      return false;
    }
    uint8_t stream[kSealedSize];
    Wiped wipeStream{stream, sizeof(stream)};
    if (!ScryptStream(*password, salt, cost, stream, sizeof(stream), error)) return false;
    for (size_t i = 0; i < kSealedSize; i++) sealed[i] ^= stream[i];
  }
  const uint8_t* checksum = sealed + kKeyIdSize + kSeedSize + kPublicKeySize;
  uint8_t want[kChecksumSize];
  KeyChecksum(sealed, want);
  // minisign leaves the checksum of an unencrypted key zero; the public half is checked below.
  static const uint8_t kZero[kChecksumSize] = {};
  bool sumOk = memcmp(want, checksum, kChecksumSize) == 0 ||
               (!encrypted && memcmp(checksum, kZero, kChecksumSize) == 0);
  if (!sumOk) {
    *error = encrypted ? "wrong password for the secret key" : "the secret key is damaged";
    return false;
  }
  memcpy(secret->id, sealed, kKeyIdSize);
  memcpy(secret->seed, sealed + kKeyIdSize, kSeedSize);
  memcpy(secret->publicKey, sealed + kKeyIdSize + kSeedSize, kPublicKeySize);
  uint8_t derived[kPublicKeySize];
  if (!PublicFromSeed(secret->seed, derived, error)) return false;
  if (memcmp(derived, secret->publicKey, kPublicKeySize) != 0) {
    *error = "the secret key is damaged (its public half does not match)";
    return false;
  }
  return true;
}

bool Sign(const SecretKey& secret, const void* data, size_t size, Algorithm algorithm,
          const std::string& trustedComment, std::string* text, std::string* error) {
  if (trustedComment.find_first_of("\r\n") != std::string::npos) {
    *error = "the trusted comment may not hold a line break";
    return false;
  }
  const bool prehashed = algorithm == Algorithm::kPrehashed;
  uint8_t digest[64];
  const uint8_t* msg = static_cast<const uint8_t*>(data);
  if (prehashed) {
    if (!Blake2b512(data, size, digest, error)) return false;
    msg = digest;
    size = sizeof(digest);
  }
  uint8_t line[kSignatureLineSize];
  memcpy(line, prehashed ? kAlgPrehashed : kAlgLegacy, 2);
  memcpy(line + 2, secret.id, kKeyIdSize);
  uint8_t* sig = line + 2 + kKeyIdSize;
  if (!Ed25519Sign(secret.seed, msg, size, sig, error)) return false;
  std::string signedPart(reinterpret_cast<const char*>(sig), kSignatureSize);
  signedPart += trustedComment;
  uint8_t global[kSignatureSize];
  if (!Ed25519Sign(secret.seed, reinterpret_cast<const uint8_t*>(signedPart.data()),
                   signedPart.size(), global, error)) {
    return false;
  }
  *text = std::string(kUntrustedPrefix) + "signature from minisign secret key\n" +
          Base64(line, sizeof(line)) + "\n" + kTrustedPrefix + trustedComment + "\n" +
          Base64(global, sizeof(global)) + "\n";
  return true;
}

namespace {

// The signed data as the checks need it: its BLAKE2b-512 digest for a prehashed signature, the
// bytes themselves for a legacy one. Each is asked for only when a block needs it.
struct SignedData {
  std::function<bool(uint8_t digest[64], std::string* error)> digest;
  std::function<bool(const uint8_t** data, size_t* size, std::string* error)> whole;
};

Verdict VerifyBlocks(const std::vector<PublicKey>& keys, const SignedData& data,
                     const std::string& signature, std::string* trustedComment, std::string* keyId,
                     std::string* error) {
  std::vector<SignatureBlock> blocks;
  if (!ParseBlocks(signature, &blocks, error)) return Verdict::kMalformed;
  Verdict verdict = Verdict::kUnknownKey;
  std::string ids;
  bool haveDigest = false;
  uint8_t digest[64];
  for (const SignatureBlock& b : blocks) {
    const PublicKey* key = nullptr;
    for (const PublicKey& k : keys) {
      if (memcmp(k.id, b.id, kKeyIdSize) == 0) key = &k;
    }
    if (!key) {
      ids += (ids.empty() ? "" : ", ") + KeyIdText(b.id);
      continue;
    }
    const uint8_t* msg = digest;
    size_t msgSize = sizeof(digest);
    if (b.prehashed) {
      if (!haveDigest && !data.digest(digest, error)) return Verdict::kBadSignature;
      haveDigest = true;
    } else if (!data.whole(&msg, &msgSize, error)) {
      return Verdict::kBadSignature;
    }
    if (!Ed25519Verify(key->key, msg, msgSize, b.sig)) {
      verdict = Verdict::kBadSignature;
      *error = "bad signature by key " + KeyIdText(b.id);
      continue;
    }
    std::string signedPart(reinterpret_cast<const char*>(b.sig), kSignatureSize);
    signedPart += b.comment;
    if (!Ed25519Verify(key->key, reinterpret_cast<const uint8_t*>(signedPart.data()),
                       signedPart.size(), b.global)) {
      if (verdict != Verdict::kBadSignature) verdict = Verdict::kBadComment;
      *error =
          "bad global signature by key " + KeyIdText(b.id) + ": the trusted comment was altered";
      continue;
    }
    *trustedComment = b.comment;
    *keyId = KeyIdText(b.id);
    error->clear();
    return Verdict::kValid;
  }
  if (verdict == Verdict::kUnknownKey) *error = "signed by unknown key id " + ids;
  return verdict;
}

// Reads up to size bytes at offset of fd, retrying when interrupted. The count, or -1.
ssize_t ReadAt(int fd, uint8_t* buf, size_t size, off_t offset) {
  for (;;) {
    ssize_t n = pread(fd, buf, size, offset);
    if (n >= 0 || errno != EINTR) return n;
  }
}

// The BLAKE2b-512 digest of the file at fd from its start to its end, read in blocks.
bool Blake2b512File(int fd, uint8_t out[64], std::string* error) {
  MdCtxPtr ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_blake2b512(), nullptr) != 1) {
    *error = OpenSslReason("BLAKE2b-512");
    return false;
  }
  std::vector<uint8_t> block(64 * 1024);
  off_t at = 0;
  for (;;) {
    ssize_t n = ReadAt(fd, block.data(), block.size(), at);
    if (n < 0) {
      *error = std::string("reading the signed file: ") + strerror(errno);
      return false;
    }
    if (n == 0) break;
    if (EVP_DigestUpdate(ctx.get(), block.data(), static_cast<size_t>(n)) != 1) {
      *error = OpenSslReason("BLAKE2b-512");
      return false;
    }
    at += n;
  }
  unsigned int len = 0;
  if (EVP_DigestFinal_ex(ctx.get(), out, &len) != 1 || len != 64) {
    *error = OpenSslReason("BLAKE2b-512");
    return false;
  }
  return true;
}

// The whole file at fd, from its start to its end.
bool ReadWholeFile(int fd, std::string* text, std::string* error) {
  text->clear();
  uint8_t block[64 * 1024];
  for (;;) {
    ssize_t n = ReadAt(fd, block, sizeof(block), static_cast<off_t>(text->size()));
    if (n < 0) {
      *error = std::string("reading the signed file: ") + strerror(errno);
      return false;
    }
    if (n == 0) return true;
    text->append(reinterpret_cast<const char*>(block), static_cast<size_t>(n));
  }
}

}  // namespace

Verdict Verify(const std::vector<PublicKey>& keys, const void* data, size_t size,
               const std::string& signature, std::string* trustedComment, std::string* keyId,
               std::string* error) {
  SignedData signedData;
  signedData.digest = [&](uint8_t digest[64], std::string* why) {
    return Blake2b512(data, size, digest, why);
  };
  signedData.whole = [&](const uint8_t** msg, size_t* msgSize, std::string*) {
    *msg = static_cast<const uint8_t*>(data);
    *msgSize = size;
    return true;
  };
  return VerifyBlocks(keys, signedData, signature, trustedComment, keyId, error);
}

Verdict VerifyFile(const std::vector<PublicKey>& keys, int fd, const std::string& signature,
                   std::string* trustedComment, std::string* keyId, std::string* error) {
  std::string text;
  bool haveText = false;
  SignedData signedData;
  signedData.digest = [&](uint8_t digest[64], std::string* why) {
    return Blake2b512File(fd, digest, why);
  };
  signedData.whole = [&](const uint8_t** msg, size_t* msgSize, std::string* why) {
    if (!haveText && !ReadWholeFile(fd, &text, why)) return false;
    haveText = true;
    *msg = reinterpret_cast<const uint8_t*>(text.data());
    *msgSize = text.size();
    return true;
  };
  return VerifyBlocks(keys, signedData, signature, trustedComment, keyId, error);
}

}  // namespace minisign
