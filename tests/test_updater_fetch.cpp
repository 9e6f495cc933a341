// The updater-fetch program: downloads over HTTP (nginx) and FTP (pyftpdlib), its error texts
// and exit codes, and the progress line it shows only on a terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "pyftpd_server.h"
#include "test_util.h"

using testutil::ReadFileOr;
using testutil::RunProgram;
using testutil::TempDir;
using testutil::WriteFile;

namespace {

std::string Fetch() { return testutil::BinPath("updater-fetch"); }

std::string Pattern(size_t size) {
  std::string data(size, '\0');
  uint32_t x = 12345;
  for (size_t i = 0; i < size; i++) {
    x = x * 1103515245u + 12345u;
    data[i] = static_cast<char>(x >> 24);
  }
  return data;
}

// Runs argv with its standard output on a new pseudo-terminal; returns the exit code and puts
// what the terminal showed into *out. Bounded to 30 s.
int RunOnTerminal(const std::vector<std::string>& argv, std::string* out) {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return -1;
  std::string slave_name = ptsname(master);
  pid_t pid = fork();
  if (pid == 0) {
    int slave = open(slave_name.c_str(), O_RDWR);
    int devnull = open("/dev/null", O_RDWR);
    dup2(devnull, 0);
    dup2(slave, 1);
    dup2(slave, 2);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  char buf[4096];
  int status = 0;
  bool exited = false;
  for (int i = 0; i < 600; i++) {
    pollfd p{master, POLLIN, 0};
    if (poll(&p, 1, 50) == 1) {
      ssize_t n = read(master, buf, sizeof(buf));
      if (n > 0) {
        out->append(buf, static_cast<size_t>(n));
        continue;
      }
    }
    if (exited) break;
    exited = waitpid(pid, &status, WNOHANG) == pid;
  }
  if (!exited) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  close(master);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class FetchProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testutil::HaveNginx()) GTEST_SKIP() << "nginx missing";
    ASSERT_TRUE(WriteFile(root_.Sub("pub/data.bin"), Pattern(500000)));
    server_.reset(
        new testutil::NginxServer(root_.path(), "location = /moved { return 302 /pub/data.bin; }"));
    ASSERT_TRUE(server_->ok()) << server_->error();
  }
  TempDir root_;
  TempDir out_;
  std::unique_ptr<testutil::NginxServer> server_;
};

}  // namespace

TEST_F(FetchProgram, DownloadsQuietlyWhenNotOnATerminal) {
  std::string output;
  EXPECT_EQ(RunProgram({Fetch(), server_->Url("/pub/data.bin"), out_.Sub("d.bin")}, &output), 0)
      << output;
  EXPECT_EQ(output, "");
  EXPECT_EQ(ReadFileOr(out_.Sub("d.bin")), Pattern(500000));
}

TEST_F(FetchProgram, FollowsARedirect) {
  std::string output;
  EXPECT_EQ(RunProgram({Fetch(), server_->Url("/moved"), out_.Sub("m.bin")}, &output), 0) << output;
  EXPECT_EQ(ReadFileOr(out_.Sub("m.bin")), Pattern(500000));
}

TEST_F(FetchProgram, FailuresPrintTheClientsTextAndExitOne) {
  std::string out, err;
  EXPECT_EQ(RunProgram({Fetch(), server_->Url("/pub/none.bin"), out_.Sub("n")}, &out, &err), 1);
  EXPECT_EQ(err, "updater-fetch: File Not Found\n");

  EXPECT_EQ(RunProgram({Fetch(), "gopher://127.0.0.1/x", out_.Sub("h")}, &out, &err), 1);
  EXPECT_EQ(err, "updater-fetch: Invalid URL\n");
  EXPECT_FALSE(testutil::FileExists(out_.Sub("h")));

  EXPECT_EQ(
      RunProgram({Fetch(), server_->Url("/pub/data.bin"), out_.Sub("no/such/dir/f")}, &out, &err),
      1);
  EXPECT_NE(err.find("File Access Error"), std::string::npos) << err;

  int port = testutil::FreePort();
  EXPECT_EQ(RunProgram({Fetch(), "http://127.0.0.1:" + std::to_string(port) + "/x", out_.Sub("c")},
                       &out, &err),
            1);
  EXPECT_EQ(err, "updater-fetch: Error Connecting to Host\n");

  EXPECT_EQ(RunProgram({Fetch(), server_->Url("/pub/data.bin")}, &out, &err), 1);
  EXPECT_NE(err.find("usage: updater-fetch URL OUTFILE"), std::string::npos) << err;
}

TEST_F(FetchProgram, ProgressLineOnATerminal) {
  std::string shown;
  ASSERT_EQ(RunOnTerminal({Fetch(), server_->Url("/pub/data.bin"), out_.Sub("t.bin")}, &shown), 0)
      << shown;
  EXPECT_NE(shown.find("500000 of 500000 bytes (100%)"), std::string::npos) << shown;
  EXPECT_EQ(shown.find('\r'), 0u) << shown;
  EXPECT_EQ(shown.back(), '\n');
  EXPECT_EQ(ReadFileOr(out_.Sub("t.bin")), Pattern(500000));
}

TEST(FetchProgramFtp, AnonymousAndNamedUser) {
  if (testutil::PyFtpdPython().empty()) GTEST_SKIP() << "python3-pyftpdlib missing";
  TempDir root, out;
  ASSERT_TRUE(WriteFile(root.Sub("pub/f.bin"), Pattern(70000)));
  testutil::PyFtpdOptions options;
  options.user = "dora";
  options.password = "explorer";
  testutil::PyFtpdServer server(root.path(), options);
  ASSERT_TRUE(server.ok()) << server.error();
  std::string base = "127.0.0.1:" + std::to_string(server.port());
  std::string output;
  EXPECT_EQ(RunProgram({Fetch(), "ftp://" + base + "/pub/f.bin", out.Sub("a")}, &output), 0)
      << output;
  EXPECT_EQ(ReadFileOr(out.Sub("a")), Pattern(70000));
  EXPECT_EQ(
      RunProgram({Fetch(), "ftp://dora:explorer@" + base + "/pub/f.bin", out.Sub("u")}, &output), 0)
      << output;
  EXPECT_EQ(ReadFileOr(out.Sub("u")), Pattern(70000));
  std::string err;
  EXPECT_EQ(
      RunProgram({Fetch(), "ftp://dora:wrong@" + base + "/pub/f.bin", out.Sub("w")}, &output, &err),
      1);
  EXPECT_EQ(err, "updater-fetch: Authorization Needed or Bad Username/Password\n");
}
