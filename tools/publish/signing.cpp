#include "signing.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <tinyxml.h>
#include <unistd.h>

#include "publisher.h"
#include "utc_time.h"

namespace {

const char kRootTag[] = "<update_info";

bool ReadWholeFile(const std::string& path, std::string* text, std::string* error) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) {
    *error = "cannot open " + path + ": " + strerror(errno);
    return false;
  }
  text->clear();
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), f)) > 0) text->append(buf, n);
  bool ok = !ferror(f);
  int err = errno;
  fclose(f);
  if (!ok) *error = "cannot read " + path + ": " + strerror(err);
  return ok;
}

// Creates path with the text; fails when it exists. Removes what it created on failure.
bool CreateExclusive(const std::string& path, const std::string& text, mode_t mode,
                     std::string* error) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) {
    *error = "cannot create " + path + ": " + strerror(errno);
    return false;
  }
  bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  int err = errno;
  ok = fsync(fd) == 0 && ok;
  ok = close(fd) == 0 && ok;
  if (!ok) {
    *error = "cannot write " + path + ": " + strerror(err ? err : EIO);
    unlink(path.c_str());
  }
  return ok;
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::string BaseName(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

bool ReadPasswordFile(const std::string& path, std::string* password, std::string* error) {
  std::string text;
  if (!ReadWholeFile(path, &text, error)) return false;
  size_t end = text.find('\n');
  *password = text.substr(0, end);
  if (!password->empty() && password->back() == '\r') password->pop_back();
  if (password->empty()) {
    *error = "the password file " + path + " holds no password on its first line";
    return false;
  }
  return true;
}

bool LoadSignKeys(const std::vector<SignKeySpec>& specs, std::vector<minisign::SecretKey>* keys,
                  std::string* error) {
  for (const SignKeySpec& s : specs) {
    std::string text, password, why;
    if (!ReadWholeFile(s.key_file, &text, error)) return false;
    if (!s.password_file.empty() && !ReadPasswordFile(s.password_file, &password, error)) {
      return false;
    }
    minisign::SecretKey key;
    if (!minisign::ParseSecretKey(text, s.password_file.empty() ? nullptr : &password, &key,
                                  &why)) {
      *error = "cannot use the signing key " + s.key_file + ": " + why +
               (s.password_file.empty() && why.find("password") != std::string::npos
                    ? " (give it with --password-file)"
                    : "");
      return false;
    }
    keys->push_back(key);
  }
  return true;
}

bool GenerateKeyFiles(const std::string& secret_path, const std::string& public_path,
                      const std::string& password_file, std::string* key_id, std::string* error) {
  for (const std::string& p : {secret_path, public_path}) {
    if (Exists(p)) {
      *error = "refusing to overwrite " + p + ": a key file is never replaced";
      return false;
    }
  }
  std::string password;
  if (!password_file.empty() && !ReadPasswordFile(password_file, &password, error)) return false;
  minisign::SecretKey secret;
  minisign::PublicKey pub;
  std::string secret_text;
  if (!minisign::GenerateKeyPair(&secret, &pub, error) ||
      !minisign::FormatSecretKey(secret, password_file.empty() ? nullptr : &password,
                                 minisign::kSensitiveCost, &secret_text, error)) {
    return false;
  }
  if (!CreateExclusive(secret_path, secret_text, 0600, error)) return false;
  if (!CreateExclusive(public_path, minisign::FormatPublicKey(pub), 0644, error)) {
    unlink(secret_path.c_str());
    return false;
  }
  *key_id = minisign::KeyIdText(pub.id);
  return true;
}

bool SignatureFor(const std::vector<minisign::SecretKey>& keys, const std::string& text,
                  const std::string& file_name, int64_t now, std::string* signature,
                  std::string* error) {
  signature->clear();
  std::string comment =
      "timestamp:" + std::to_string(now) + "\tfile:" + BaseName(file_name) + "\thashed";
  for (const minisign::SecretKey& k : keys) {
    std::string block;
    if (!minisign::Sign(k, text.data(), text.size(), minisign::Algorithm::kPrehashed, comment,
                        &block, error)) {
      return false;
    }
    *signature += block;
  }
  return true;
}

std::string ExpiryAfter(int64_t now, int days) {
  return FormatUtcTime(now + static_cast<int64_t>(days) * 86400);
}

bool SetRootGuards(std::string* text, uint64_t serial, const std::string& expires,
                   std::string* error) {
  size_t start = text->find(kRootTag);
  size_t pos = start + strlen(kRootTag);
  if (start == std::string::npos || pos >= text->size() ||
      !(IsSpace((*text)[pos]) || (*text)[pos] == '>' || (*text)[pos] == '/')) {
    *error = "no <update_info> element in the document";
    return false;
  }
  // Keeps every attribute but the two guards, byte for byte.
  std::string kept;
  for (;;) {
    size_t attr = pos;
    while (pos < text->size() && IsSpace((*text)[pos])) pos++;
    if (pos >= text->size()) break;
    char c = (*text)[pos];
    if (c == '>' || c == '/') {
      pos = attr;
      break;
    }
    size_t eq = text->find('=', pos);
    size_t q = eq == std::string::npos ? eq : text->find_first_of("\"'", eq);
    size_t close = q == std::string::npos ? q : text->find((*text)[q], q + 1);
    if (close == std::string::npos) {
      *error = "the <update_info> start tag of the document is not well formed";
      return false;
    }
    std::string name = text->substr(pos, eq - pos);
    while (!name.empty() && IsSpace(name.back())) name.pop_back();
    if (name != "serial" && name != "expires") kept += text->substr(attr, close + 1 - attr);
    pos = close + 1;
  }
  std::string tag = std::string(kRootTag) + kept + " serial=\"" + std::to_string(serial) +
                    "\" expires=\"" + expires + "\"";
  text->replace(start, pos - start, tag);
  return true;
}

uint64_t SerialOf(const std::string& text) {
  TiXmlDocument doc;
  doc.Parse(text.c_str());
  const TiXmlElement* root = doc.Error() ? nullptr : doc.FirstChildElement("update_info");
  const char* v = root ? root->Attribute("serial") : nullptr;
  return v ? strtoull(v, nullptr, 10) : 0;
}

bool SignDocument(const SignDocumentOptions& opts, uint64_t* serial_out, std::string* error) {
  std::string text;
  if (!ReadWholeFile(opts.document, &text, error)) return false;
  TiXmlDocument doc;
  doc.Parse(text.c_str());
  if (doc.Error() || !doc.FirstChildElement("update_info")) {
    *error = opts.document + " is not an update-information document";
    return false;
  }
  std::vector<minisign::SecretKey> keys;
  if (!LoadSignKeys(opts.keys, &keys, error)) return false;
  const uint64_t previous = SerialOf(text);
  uint64_t serial = opts.serial ? opts.serial : previous + 1;
  if (serial < previous) {
    *error = "serial " + std::to_string(serial) + " is lower than the document's serial " +
             std::to_string(previous);
    return false;
  }
  std::string signature;
  if (!SetRootGuards(&text, serial, ExpiryAfter(opts.now, opts.expires_in_days), error) ||
      !SignatureFor(keys, text, opts.document, opts.now, &signature, error)) {
    return false;
  }
  if (!WriteAtomically(opts.document, text, error) ||
      !WriteAtomically(opts.document + kSignatureSuffix, signature, error)) {
    return false;
  }
  *serial_out = serial;
  return true;
}
