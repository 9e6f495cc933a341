// GoogleTest fixture for end-to-end runs of build/bin/updater against a real nginx: one web
// root with the release, one installation directory (-d) and one working directory (where
// ".updater.ini" and the temporary "updater-info.xml" live), all scratch and removed after.
#ifndef TESTS_SUPPORT_UPDATER_FIXTURE_H_
#define TESTS_SUPPORT_UPDATER_FIXTURE_H_

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "test_util.h"
#include "updater_harness.h"

namespace updtest {

// The quick check's state file, which runs that install or check files leave in the staging
// directory.
const char kStateFile[] = "tmp/updater/stat cache";

class UpdaterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    site_ = std::make_unique<Site>();
    ASSERT_TRUE(site_->ok()) << site_->error();
    base_ = install_.path() + "/";
  }

  // Publishes the release (fails the test when the tool fails).
  void Publish(const ReleaseSpec& release) {
    std::string error;
    ASSERT_TRUE(site_->Publish(release, &error)) << error;
  }

  // Runs the updater against the site for the installation, from the working directory.
  RunResult Run(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"--server", site_->ServerArg(), "-d", install_.path()};
    args.insert(args.end(), extra.begin(), extra.end());
    return RunUpdater(args, work_.path());
  }

  // Runs the updater for the installation with no server listening (port 1 of loopback): it
  // can only finish what a killed run left, then fails to fetch the document.
  RunResult RunOffline(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"--server", "127.0.0.1:1", "-d", install_.path()};
    args.insert(args.end(), extra.begin(), extra.end());
    return RunUpdater(args, work_.path());
  }

  std::string Installed(const std::string& rel) const {
    return testutil::ReadFileOr(base_ + rel, "<missing>");
  }
  bool Exists(const std::string& rel) const { return testutil::FileExists(base_ + rel); }
  std::string Ini() const { return testutil::ReadFileOr(work_.Sub(".updater.ini")); }
  void WriteIni(const std::string& text) { testutil::WriteFile(work_.Sub(".updater.ini"), text); }

  // Keys and values of section "groups" of the INI file, trimmed.
  std::map<std::string, std::string> IniGroups() const {
    std::map<std::string, std::string> out;
    std::string text = Ini();
    bool inGroups = false;
    size_t start = 0;
    while (start < text.size()) {
      size_t nl = text.find('\n', start);
      if (nl == std::string::npos) nl = text.size();
      std::string line = text.substr(start, nl - start);
      start = nl + 1;
      while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
      if (!line.empty() && line[0] == '[') {
        inGroups = line == "[groups]";
        continue;
      }
      size_t eq = line.find('=');
      if (!inGroups || eq == std::string::npos) continue;
      auto trim = [](std::string s) {
        while (!s.empty() && s.front() == ' ') s.erase(0, 1);
        while (!s.empty() && s.back() == ' ') s.pop_back();
        return s;
      };
      out[trim(line.substr(0, eq))] = trim(line.substr(eq + 1));
    }
    return out;
  }

  // The lines that every run prints up to the parse.
  static std::vector<std::string> Head(int version,
                                       const std::string& platform = "debian9.x86_64") {
    return {"*** Velmoras' Updater 2.01 (CLI) ***",
            "",
            "Downloading update info files for: " + platform,
            "",
            "Got info files... parsing...",
            "Info version: " + std::to_string(version),
            "Building file list..."};
  }

  static std::vector<std::string> Concat(std::vector<std::string> a,
                                         const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  }

  // Requests for packs in the access log.
  std::vector<std::string> PackRequests() const {
    std::vector<std::string> out;
    for (const auto& r : site_->Requests()) {
      if (r.find("/packs/") != std::string::npos) out.push_back(r);
    }
    return out;
  }

  std::unique_ptr<Site> site_;
  testutil::TempDir install_;
  testutil::TempDir work_;
  std::string base_;  // installation directory with "/"
};

inline FixtureFile File(const std::string& name, const std::string& content,
                        const std::string& key = "", const std::string& group = "") {
  FixtureFile f;
  f.file = name;
  f.content = content;
  f.key = key;
  f.group = group;
  return f;
}

inline std::vector<std::pair<std::string, std::string>> Group(
    const std::string& name, const std::string& def = "0",
    std::vector<std::pair<std::string, std::string>> more = {}) {
  std::vector<std::pair<std::string, std::string>> g = {{"name", name}, {"default", def}};
  g.insert(g.end(), more.begin(), more.end());
  return g;
}

}  // namespace updtest

#endif  // TESTS_SUPPORT_UPDATER_FIXTURE_H_
