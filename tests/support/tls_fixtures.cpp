#include "tls_fixtures.h"

#include <sstream>
#include <vector>

namespace testutil {

namespace {

const char kCaConfig[] =
    "[ca]\ndefault_ca = c\n"
    "[c]\ndatabase = db/index\nnew_certs_dir = db\nserial = db/serial\ndefault_md = sha256\n"
    "policy = p\n"
    "[p]\ncommonName = supplied\n";

const char* CertName(ServerCert which) {
  switch (which) {
    case ServerCert::kGood:
      return "good";
    case ServerCert::kExpired:
      return "expired";
    case ServerCert::kOtherName:
      return "other";
    case ServerCert::kUnknownCa:
      return "stranger";
  }
  return "";
}

}  // namespace

TestPki::TestPki() {
  std::string openssl = FindProgram("openssl");
  std::string out;
  auto run = [&](const std::vector<std::string>& args) {
    std::vector<std::string> argv = {openssl};
    argv.insert(argv.end(), args.begin(), args.end());
    if (RunProgram(argv, &out, nullptr, dir_.path()) != 0) {
      error_ = "openssl " + args[0] + " failed: " + out;
      return false;
    }
    return true;
  };
  auto make_ca = [&](const std::string& name, const std::string& subject) {
    return run({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                "-keyout", name + ".key", "-out", name + ".pem", "-days", "3", "-subj", subject});
  };
  const std::string names = "subjectAltName=IP:127.0.0.1,DNS:localhost";
  if (!make_ca("ca", "/CN=Velmor Test CA") || !make_ca("otherca", "/CN=Unknown Test CA") ||
      !WriteFile(dir_.Sub("ca.cnf"), kCaConfig) || !WriteFile(dir_.Sub("db/index"), "") ||
      !WriteFile(dir_.Sub("db/serial"), "1000\n") || !Issue("good", "ca", names, false) ||
      !Issue("expired", "ca", names, true) ||
      !Issue("other", "ca", "subjectAltName=DNS:other.invalid", false) ||
      !Issue("stranger", "otherca", names, false)) {
    return;
  }
  if (!run({"x509", "-in", "ca.pem", "-noout", "-subject_hash"})) return;
  std::string hash = out.substr(0, out.find_first_of("\r\n"));
  std::string ca;
  if (!ReadFile(CaFile(), &ca) || !WriteFile(CaDir() + "/" + hash + ".0", ca)) {
    error_ = "cannot write the hashed CA directory";
  }
}

bool TestPki::Issue(const std::string& name, const std::string& ca, const std::string& alt_names,
                    bool expired) {
  std::string openssl = FindProgram("openssl");
  std::string out;
  std::string ext = name + ".ext";
  if (!WriteFile(dir_.Sub(ext), alt_names + "\n")) {
    error_ = "cannot write " + ext;
    return false;
  }
  std::vector<std::vector<std::string>> steps = {
      {openssl, "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout",
       name + ".key", "-out", name + ".csr", "-subj", "/CN=" + name}};
  if (expired) {
    steps.push_back(
        {openssl,           "ca",       "-batch",    "-config",    "ca.cnf",          "-cert",
         ca + ".pem",       "-keyfile", ca + ".key", "-in",        name + ".csr",     "-out",
         name + ".pem",     "-extfile", ext,         "-startdate", "20200101000000Z", "-enddate",
         "20200201000000Z", "-notext"});
  } else {
    steps.push_back({openssl, "x509", "-req", "-in", name + ".csr", "-CA", ca + ".pem", "-CAkey",
                     ca + ".key", "-set_serial", "7", "-days", "2", "-extfile", ext, "-out",
                     name + ".pem"});
  }
  for (const auto& argv : steps) {
    if (RunProgram(argv, &out, nullptr, dir_.path()) != 0) {
      error_ = "openssl " + argv[1] + " for " + name + " failed: " + out;
      return false;
    }
  }
  return true;
}

std::string TestPki::CertFile(ServerCert which) const {
  return dir_.Sub(std::string(CertName(which)) + ".pem");
}

std::string TestPki::KeyFile(ServerCert which) const {
  return dir_.Sub(std::string(CertName(which)) + ".key");
}

bool HaveTinyproxy() { return FindProgram("tinyproxy") != "tinyproxy"; }

TinyProxy::TinyProxy(const std::string& user, const std::string& password)
    : user_(user), password_(password) {
  if (!HaveTinyproxy()) {
    error_ = "tinyproxy is not installed";
    return;
  }
  for (int attempt = 0; attempt < 5 && !ok(); attempt++) {
    port_ = FreePort();
    std::ostringstream conf;
    conf << "Port " << port_ << "\nListen 127.0.0.1\nTimeout 60\n"
         << "LogFile \"" << dir_.Sub("proxy.log") << "\"\nLogLevel Connect\n"
         << "PidFile \"" << dir_.Sub("proxy.pid") << "\"\n"
         << "MaxClients 32\nAllow 127.0.0.1\nDisableViaHeader Yes\n";
    if (!user_.empty()) conf << "BasicAuth " << user_ << " " << password_ << "\n";
    WriteFile(dir_.Sub("proxy.conf"), conf.str());
    process_.reset(new PeerProcess());
    if (!process_->Start({FindProgram("tinyproxy"), "-d", "-c", dir_.Sub("proxy.conf")}, "",
                         dir_.Sub("proxy.out")) ||
        !WaitForPort(port_, 60000)) {
      error_ = "tinyproxy did not start: " + process_->Output();
      process_.reset();
    }
  }
  if (ok()) error_.clear();
}

TinyProxy::~TinyProxy() {
  if (process_) process_->Stop();
}

std::string TinyProxy::Url() const {
  std::string credentials = user_.empty() ? "" : user_ + ":" + password_ + "@";
  return "http://" + credentials + "127.0.0.1:" + std::to_string(port_);
}

std::string TinyProxy::Requests() const {
  std::string log = ReadFileOr(dir_.Sub("proxy.log"));
  std::string lines;
  std::istringstream in(log);
  std::string line;
  const std::string marker = "Request (file descriptor ";
  while (std::getline(in, line)) {
    size_t at = line.find(marker);
    if (at == std::string::npos) continue;
    size_t colon = line.find(": ", at);
    if (colon != std::string::npos) lines += line.substr(colon + 2) + "\n";
  }
  return lines;
}

}  // namespace testutil
