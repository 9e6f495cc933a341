// Minisign-format texts on arbitrary input: reading signature files, public keys and
// unencrypted secret keys never crashes; no made-up signature file verifies; public keys read
// back from their own text are the same keys; a signature made here verifies, and stops
// verifying when the data or the trusted comment changes.
#include <string.h>

#include <string>
#include <vector>

#include "fuzz_util.h"
#include "minisign.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzutil::Input in(data, size);
  std::string sigText = in.Piece(2048);
  std::string keyText = in.Piece(2048);
  std::string payload = in.Rest();

  std::vector<minisign::PublicKey> keys;
  std::string error, comment, id;
  if (minisign::ParsePublicKeys(keyText, &keys, &error)) {
    if (keys.empty()) __builtin_trap();
    std::string again;
    for (const minisign::PublicKey& k : keys) again += minisign::FormatPublicKey(k);
    std::vector<minisign::PublicKey> back;
    if (!minisign::ParsePublicKeys(again, &back, &error) || back.size() != keys.size())
      __builtin_trap();
    for (size_t i = 0; i < keys.size(); i++) {
      if (memcmp(&back[i], &keys[i], sizeof(keys[i])) != 0) __builtin_trap();
    }
  }
  // Secret keys without a password: encrypted ones stop before any key derivation.
  minisign::SecretKey secret;
  minisign::ParseSecretKey(keyText, nullptr, &secret, &error);

  // A made-up signature file never verifies, whatever keys it is checked against.
  if (minisign::Verify(keys, payload.data(), payload.size(), sigText, &comment, &id, &error) ==
      minisign::Verdict::kValid) {
    __builtin_trap();
  }

  // A genuine signature verifies, and no longer after any change.
  minisign::SecretKey key;
  minisign::PublicKey pub;
  if (!minisign::GenerateKeyPair(&key, &pub, &error)) return 0;
  std::string trusted = sigText.substr(0, sigText.find_first_of("\r\n"));
  std::string sig;
  auto alg = payload.size() % 2 ? minisign::Algorithm::kLegacy : minisign::Algorithm::kPrehashed;
  if (!minisign::Sign(key, payload.data(), payload.size(), alg, trusted, &sig, &error))
    __builtin_trap();
  if (minisign::Verify({pub}, payload.data(), payload.size(), sig, &comment, &id, &error) !=
          minisign::Verdict::kValid ||
      comment != trusted) {
    __builtin_trap();
  }
  std::string changed = payload + "x";
  if (minisign::Verify({pub}, changed.data(), changed.size(), sig, &comment, &id, &error) ==
      minisign::Verdict::kValid) {
    __builtin_trap();
  }
  return 0;
}
