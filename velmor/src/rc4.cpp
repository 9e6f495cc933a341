#include "rc4.h"

bool rc4_init(Rc4State* st, const uint8_t* key, size_t keyLength) {
  if (keyLength == 0 || keyLength > 256) return false;
  for (int k = 0; k < 256; k++) st->s[k] = static_cast<uint8_t>(k);
  uint8_t j = 0;
  for (int k = 0; k < 256; k++) {
    j = static_cast<uint8_t>(j + st->s[k] + key[k % keyLength]);
    uint8_t t = st->s[k];
    st->s[k] = st->s[j];
    st->s[j] = t;
  }
  st->i = 0;
  st->j = 0;
  return true;
}

void rc4_crypt(Rc4State* st, uint8_t* data, size_t length) {
  uint8_t i = st->i, j = st->j;
  uint8_t* s = st->s;
  for (size_t n = 0; n < length; n++) {
    i = static_cast<uint8_t>(i + 1);
    uint8_t si = s[i];
    j = static_cast<uint8_t>(j + si);
    uint8_t sj = s[j];
    s[i] = sj;
    s[j] = si;
    data[n] ^= s[static_cast<uint8_t>(si + sj)];
  }
  st->i = i;
  st->j = j;
}
