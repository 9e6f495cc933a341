// The RC4 stream cipher, used to encipher and decipher update packs. A state is keyed once
// and then XORs its keystream onto data passed through it, continuing where the previous call
// stopped, so a pack can be handled block by block.
//
// Thread rules: a state belongs to one user at a time; the functions keep no shared state.
#ifndef VELMOR_RC4_H_
#define VELMOR_RC4_H_

#include <stddef.h>
#include <stdint.h>

struct Rc4State {
  uint8_t s[256];
  uint8_t i;
  uint8_t j;
};

// Runs the key schedule over key (1 to 256 bytes). Returns false, leaving st unusable, for a
// key length of 0 or above 256.
bool rc4_init(Rc4State* st, const uint8_t* key, size_t keyLength);
// XORs the next length keystream bytes onto data in place (enciphering and deciphering are the
// same operation).
void rc4_crypt(Rc4State* st, uint8_t* data, size_t length);

#endif  // VELMOR_RC4_H_
