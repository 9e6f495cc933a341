#include <gtest/gtest.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "base64.h"

namespace {

// Encodes into a buffer of exactly the documented size plus a fence, and checks the fence.
std::string Encode(const std::string& in) {
  size_t need = 4 * ((in.size() + 2) / 3) + 1;
  std::vector<char> out(need + 8, '#');
  size_t n = base64_encode(in.data(), in.size(), out.data());
  EXPECT_EQ(need - 1, n);
  EXPECT_EQ('\0', out[n]);
  EXPECT_EQ(strlen(out.data()), n);
  for (size_t i = need; i < out.size(); ++i) EXPECT_EQ('#', out[i]) << "wrote past the buffer";
  return std::string(out.data(), n);
}

// Decodes into a buffer of the documented size plus a fence; -1 results give "<invalid>".
std::string Decode(const std::string& text) {
  size_t need = 3 * text.size() / 4;
  std::vector<char> out(need + 8, '#');
  int64_t n = base64_decode(text.data(), text.size(), out.data());
  for (size_t i = need; i < out.size(); ++i) EXPECT_EQ('#', out[i]) << "wrote past the buffer";
  if (n < 0) {
    EXPECT_EQ(-1, n);
    return "<invalid>";
  }
  return std::string(out.data(), static_cast<size_t>(n));
}

struct Vector {
  const char* plain;
  const char* encoded;
};

// RFC 4648, section 10.
const Vector kRfcVectors[] = {
    {"", ""},
    {"f", "Zg=="},
    {"fo", "Zm8="},
    {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="},
    {"fooba", "Zm9vYmE="},
    {"foobar", "Zm9vYmFy"},
};

TEST(Base64, RfcVectors) {
  for (const Vector& v : kRfcVectors) {
    EXPECT_EQ(v.encoded, Encode(v.plain)) << "encoding \"" << v.plain << "\"";
    EXPECT_EQ(v.plain, Decode(v.encoded)) << "decoding \"" << v.encoded << "\"";
  }
}

TEST(Base64, BasicCredentials) {
  EXPECT_EQ("YWI6", Encode("ab:"));
  EXPECT_EQ("QWxhZGRpbjpvcGVuIHNlc2FtZQ==", Encode("Aladdin:open sesame"));
}

TEST(Base64, WholeAlphabetAndHighBytes) {
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  std::string text = Encode(all);
  EXPECT_EQ("AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4OTo7",
            text.substr(0, 80));
  EXPECT_EQ("+/w==", text.substr(text.size() - 5));
  EXPECT_EQ(all, Decode(text));
  EXPECT_EQ("++//", Encode("\xfb\xef\xff"));
  EXPECT_EQ("\xfb\xef\xff", Decode("++//"));
}

TEST(Base64, RoundTripsEveryShortLength) {
  std::mt19937 rng(4648);
  for (size_t len = 0; len <= 100; ++len) {
    std::string data;
    for (size_t i = 0; i < len; ++i) data.push_back(static_cast<char>(rng() & 0xFF));
    std::string text = Encode(data);
    EXPECT_EQ(0u, text.size() % 4);
    EXPECT_EQ(data, Decode(text)) << "length " << len;
  }
}

TEST(Base64, DecodeCountsBytes) {
  std::vector<unsigned char> out(8, 0);
  EXPECT_EQ(1, base64_decode("AA==", 4, out.data()));
  EXPECT_EQ(2, base64_decode("AAE=", 4, out.data()));
  EXPECT_EQ(3, base64_decode("AAEC", 4, out.data()));
  EXPECT_EQ(0, out[0]);
  EXPECT_EQ(1, out[1]);
  EXPECT_EQ(2, out[2]);
  EXPECT_EQ(0, base64_decode("", 0, out.data()));
  EXPECT_EQ(0, base64_decode(nullptr, 0, out.data()));
}

TEST(Base64, DecodeRejectsBadLengths) {
  for (const char* text : {"A", "AB", "ABC", "Zm9vY", "Zm9vYg", "Zm9vYmE", "Zm9vYmFy="}) {
    EXPECT_EQ("<invalid>", Decode(text)) << text;
  }
}

TEST(Base64, DecodeRejectsCharactersOutsideTheAlphabet) {
  const char* bad[] = {
      "Zm9v\nYmFy",    // line break (length 9)
      "Zm9\nYmFy",     // line break, length a multiple of 4
      "Zm9 YmFy",      // blank
      "Zm9vYm-y",      // url-safe alphabet is not accepted
      "Zm_v",          //
      "Zm=v",          // "=" before the last two positions
      "Z=9vYmFy",      //
      "A===",          // three padding characters
      "====",          //
      "Zm9vYg==Zm9v",  // padding in the middle
      "Zm9v\x80YmF",   // a high byte
  };
  for (const char* text : bad) EXPECT_EQ("<invalid>", Decode(text)) << text;
}

TEST(Base64, DecodeUsesOnlyTheGivenLength) {
  // The length, not a terminator, bounds the text.
  std::vector<char> out(8, 0);
  EXPECT_EQ(3, base64_decode("Zm9vYmFy", 4, out.data()));
  EXPECT_EQ("foo", std::string(out.data(), 3));
}

}  // namespace
