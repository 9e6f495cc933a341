// Transport: status lines, body bounds, time-outs under an injected clock, retries and back-off,
// Range resumption, keep-alive and chunked bodies against scripted servers; real Range answers
// from nginx; FTP REST against pyftpdlib.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <string>
#include <vector>

#include "download_nocurl.h"
#include "pyftpd_server.h"
#include "scripted_server.h"
#include "test_clock.h"
#include "test_util.h"
#include "transport.h"

using testutil::ScriptConn;
using testutil::ScriptedServer;
using testutil::SteppingClock;
using testutil::TempDir;

namespace {

const bool kSigpipeIgnored = signal(SIGPIPE, SIG_IGN) != SIG_ERR;

std::string Pattern(size_t size, unsigned seed = 7) {
  std::string data(size, '\0');
  uint32_t x = seed;
  for (size_t i = 0; i < size; i++) {
    x = x * 1103515245u + 12345u;
    data[i] = static_cast<char>(x >> 24);
  }
  return data;
}

std::string Ok(const std::string& body, const std::string& headers = "") {
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + headers +
         "\r\n" + body;
}

std::string Chunked(const std::string& body, size_t piece) {
  std::string out = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  for (size_t i = 0; i < body.size(); i += piece) {
    std::string part = body.substr(i, piece);
    char size[32];
    snprintf(size, sizeof(size), "%zx;ext=1\r\n", part.size());
    out += size + part + "\r\n";
  }
  return out + "0\r\nX-Trailer: yes\r\n\r\n";
}

// Answers connection i with replies[i] (one request each) and closes.
ScriptedServer::Script Replies(std::vector<std::string> replies) {
  return [replies](ScriptConn& conn, int index) {
    conn.ReadRequest();
    if (static_cast<size_t>(index) < replies.size()) conn.Send(replies[index]);
  };
}

// Connections that sent a request (the server counts a connection only once its script ended).
int Served(const ScriptedServer& server, int most) {
  int n = 0;
  for (int i = 0; i < most; i++) n += server.Received(i).empty() ? 0 : 1;
  return n;
}

TransportSettings Quick(int retries = 0) {
  TransportSettings s;
  s.retries = retries;
  s.wait_slice_ms = 10;
  return s;
}

TEST(TransportStatusLine, ParsesOnlyTheRealForm) {
  struct Case {
    const char* line;
    bool ok;
    int status;
  } cases[] = {
      {"HTTP/1.1 200 OK", true, 200},
      {"HTTP/1.0 500 Internal Error 2000", true, 500},
      {"HTTP/1.1 404", true, 404},
      {"HTTP/1.1 2000 OK", false, 0},
      {"HTTP/1.1 20 OK", false, 0},
      {"ICY 200 OK", false, 0},
      {"HTTP/11 200 OK", false, 0},
      {"http/1.1 200 OK", false, 0},
      {"", false, 0},
  };
  for (const Case& c : cases) {
    int minor = -1;
    int status = 0;
    EXPECT_EQ(ParseHttpStatusLine(c.line, &minor, &status), c.ok) << c.line;
    if (c.ok) {
      EXPECT_EQ(status, c.status) << c.line;
    }
  }
}

TEST(TransportUrlParse, AcceptsAndRefuses) {
  struct Case {
    const char* text;
    bool ok;
    const char* host;
    int port;
    const char* path;
  } cases[] = {
      {"http://h/a/b?c=1", true, "h", 80, "/a/b?c=1"},
      {"HTTP://h:8080", true, "h", 8080, "/"},
      {"https://[::1]:8443/x", true, "::1", 8443, "/x"},
      {"ftp://u:p@h/f", true, "h", 21, "/f"},
      {"gopher://h/", false, "", 0, ""},
      {"http://h:0/", false, "", 0, ""},
      {"http://h:99999/", false, "", 0, ""},
      {"http:///x", false, "", 0, ""},
      {"http://h/a b", false, "", 0, ""},
      {"http://h/a\r\nX: y", false, "", 0, ""},
      {"h/x", false, "", 0, ""},
  };
  for (const Case& c : cases) {
    TransportUrl url;
    TransferError error;
    EXPECT_EQ(TransportUrl::Parse(c.text, &url, &error), c.ok) << c.text;
    if (!c.ok) {
      EXPECT_EQ(error.failure, TransferFailure::kInvalidUrl);
      EXPECT_FALSE(error.Transient());
      continue;
    }
    EXPECT_EQ(url.host, c.host);
    EXPECT_EQ(url.port, c.port);
    EXPECT_EQ(url.path, c.path);
  }
}

TEST(TransportOptions, CommandLineValues) {
  uint32_t ms = 0;
  EXPECT_TRUE(ParseTimeoutOption("5", &ms));
  EXPECT_EQ(ms, 5000u);
  for (const char* bad : {"0", "-1", "1.5", "", "x", "86401"}) {
    EXPECT_FALSE(ParseTimeoutOption(bad, &ms)) << bad;
  }
  uint64_t bytes = 0;
  uint32_t seconds = 0;
  EXPECT_TRUE(ParseSpeedLimitOption("2048:30", &bytes, &seconds));
  EXPECT_EQ(bytes, 2048u);
  EXPECT_EQ(seconds, 30u);
  for (const char* bad : {"2048", "2048:0", ":30", "a:b", "1:2:3"}) {
    EXPECT_FALSE(ParseSpeedLimitOption(bad, &bytes, &seconds)) << bad;
  }
  int retries = -1;
  EXPECT_TRUE(ParseRetriesOption("0", &retries));
  EXPECT_EQ(retries, 0);
  EXPECT_FALSE(ParseRetriesOption("-1", &retries));
  EXPECT_FALSE(ParseRetriesOption("101", &retries));
}

// One answer, no retries: what the transport makes of it.
TEST(TransportAnswers, OneAnswerEach) {
  const std::string big = Pattern(40000);
  struct Case {
    const char* name;
    std::string reply;
    uint64_t max_bytes;
    TransferFailure failure;
    int status;
    bool transient;
    std::string body;
  } cases[] = {
      {"plain", Ok("hello"), 0, TransferFailure::kNone, 0, false, "hello"},
      {"status with 2000 in the reason", "HTTP/1.0 500 Internal Error 2000\r\n\r\n2000", 0,
       TransferFailure::kHttpStatus, 500, true, ""},
      {"not found", "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n", 0,
       TransferFailure::kHttpStatus, 404, false, ""},
      {"forbidden", "HTTP/1.1 403 Forbidden\r\n\r\n", 0, TransferFailure::kHttpStatus, 403, false,
       ""},
      {"too many requests", "HTTP/1.1 429 Slow Down\r\n\r\n", 0, TransferFailure::kHttpStatus, 429,
       true, ""},
      {"not HTTP", "ICY 200 OK\r\n\r\nbody", 0, TransferFailure::kInvalidResponse, 0, false, ""},
      {"length smaller than sent", Ok("12345") + "EXTRA BYTES", 0, TransferFailure::kNone, 0, false,
       "12345"},
      {"cut short", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n123", 0,
       TransferFailure::kCutShort, 0, true, "123"},
      {"announced length above the maximum", Ok(big), 1000, TransferFailure::kTooLarge, 0, false,
       ""},
      {"close-delimited body above the maximum", "HTTP/1.0 200 OK\r\n\r\n" + big, 1000,
       TransferFailure::kTooLarge, 0, false, ""},
      {"chunked", Chunked(big, 7000), 0, TransferFailure::kNone, 0, false, big},
      {"chunked above the maximum", Chunked(big, 700), 1000, TransferFailure::kTooLarge, 0, false,
       big.substr(0, 700)},
      {"bad chunk size", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", 0,
       TransferFailure::kInvalidResponse, 0, false, ""},
      {"informational answer first", "HTTP/1.1 100 Continue\r\n\r\n" + Ok("after"), 0,
       TransferFailure::kNone, 0, false, "after"},
  };
  for (const Case& c : cases) {
    ScriptedServer server(Replies({c.reply}), 1);
    ASSERT_TRUE(server.ok());
    Transport transport(Quick());
    StringSink sink;
    TransferRequest request;
    request.url = server.Url("/doc");
    request.max_bytes = c.max_bytes;
    TransferError error;
    bool ok = transport.Fetch(request, &sink, &error);
    EXPECT_EQ(ok, c.failure == TransferFailure::kNone) << c.name << ": " << error.text;
    EXPECT_EQ(error.failure, c.failure) << c.name << ": " << error.text;
    EXPECT_EQ(error.status, c.status) << c.name;
    if (!ok) {
      EXPECT_EQ(error.Transient(), c.transient) << c.name;
      EXPECT_NE(error.text.find("127.0.0.1:" + std::to_string(server.port())), std::string::npos)
          << c.name << ": " << error.text;
    }
    EXPECT_EQ(sink.data(), c.body) << c.name;
    EXPECT_LE(sink.Size(), c.max_bytes ? c.max_bytes : UINT64_MAX) << c.name;
  }
}

TEST(TransportAnswers, DownloadCodesFollowTheStatus) {
  TransferError e;
  e.Set(TransferFailure::kHttpStatus, "x");
  const std::pair<int, int32_t> cases[] = {
      {401, ODL_ERROR_AUTH}, {404, ODL_ERROR_NOT_FOUND}, {500, ODL_ERROR_INVALID_RESPONSE}};
  for (const auto& c : cases) {
    e.status = c.first;
    EXPECT_EQ(e.DownloadCode(), c.second) << c.first;
  }
  e.Set(TransferFailure::kStall, "x");
  EXPECT_EQ(e.DownloadCode(), ODL_ERROR_TIMEOUT);
}

TEST(TransportAnswers, EndlessDocumentStopsAtTheMaximum) {
  ScriptedServer server(
      [](ScriptConn& conn, int) {
        conn.ReadRequest();
        conn.Send("HTTP/1.1 200 OK\r\n\r\n");
        const std::string block(65536, 'e');
        for (int i = 0; i < 4096 && conn.Send(block); i++) {
        }
      },
      1);
  Transport transport(Quick());
  StringSink sink;
  TransferRequest request;
  request.url = server.Url("/endless");
  request.max_bytes = 1 << 20;
  TransferError error;
  EXPECT_FALSE(transport.Fetch(request, &sink, &error));
  EXPECT_EQ(error.failure, TransferFailure::kTooLarge);
  EXPECT_LE(sink.Size(), request.max_bytes);
}

TEST(TransportTimeouts, SilentServerStalls) {
  ScriptedServer server(
      [](ScriptConn& conn, int) {
        conn.ReadRequest();
        conn.WaitClosed(60000);
      },
      1);
  SteppingClock clock(1000);
  TransportSettings settings = Quick();
  Transport transport(settings, nullptr, &clock);
  StringSink sink;
  TransferRequest request;
  request.url = server.Url("/silent");
  TransferError error;
  EXPECT_FALSE(transport.Fetch(request, &sink, &error));
  EXPECT_EQ(error.failure, TransferFailure::kStall) << error.text;
  EXPECT_TRUE(error.Transient());
  EXPECT_NE(error.text.find("127.0.0.1:"), std::string::npos) << error.text;
}

// A transfer whose caller gives up ends while the server says nothing more, before its headers
// or in the middle of its body, and a cancelled fetch does not retry. No clock runs out here: the
// stall time-out is off and the server waits until the client has gone.
TEST(TransportTimeouts, CancelledWhileTheServerIsSilent) {
  struct Case {
    const char* name;
    std::string sent;  // before the silence
    int cancelAt;      // the question answered with yes
    uint64_t held;     // what the sink then holds
    const char* text;  // in the error
  } cases[] = {
      {"before the headers", "", 3, 0, "Transfer from 127.0.0.1:"},
      {"in the body", "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nfirst", 3, 5,
       "Transfer from 127.0.0.1:"},
      {"after a failure, before the retry",
       "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n\r\n", 1, 0,
       "Transfer of http://127.0.0.1:"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server(
        [&](ScriptConn& conn, int) {
          conn.ReadRequest();
          conn.Send(c.sent);
          conn.WaitClosed(60000);
        },
        2);
    SteppingClock clock(1);
    TransportSettings settings = Quick(3);
    settings.stall_timeout_ms = 0;
    Transport transport(settings, nullptr, &clock);
    StringSink sink;
    TransferRequest request;
    request.url = server.Url("/quiet");
    int asked = 0;
    request.cancelled = [&]() { return ++asked >= c.cancelAt; };
    TransferError error;
    EXPECT_FALSE(transport.Fetch(request, &sink, &error));
    EXPECT_EQ(error.failure, TransferFailure::kAborted) << error.text;
    EXPECT_NE(error.text.find(c.text), std::string::npos) << error.text;
    EXPECT_EQ(sink.Size(), c.held);
    EXPECT_EQ(transport.requests_sent(), 1u);
  }
}

TEST(TransportTimeouts, OneBytePerSecondCrawls) {
  ScriptedServer server(
      [](ScriptConn& conn, int) {
        conn.ReadRequest();
        conn.Send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n");
        for (int i = 0; i < 3000 && conn.Send("x"); i++) conn.Sleep(5);
      },
      1);
  // Each reading of the clock is a second; the stall time-out is out of reach.
  SteppingClock clock(1000);
  TransportSettings settings = Quick();
  settings.stall_timeout_ms = 3600 * 1000;
  Transport transport(settings, nullptr, &clock);
  StringSink sink;
  TransferRequest request;
  request.url = server.Url("/crawl");
  TransferError error;
  EXPECT_FALSE(transport.Fetch(request, &sink, &error));
  EXPECT_EQ(error.failure, TransferFailure::kCrawl) << error.text;
  EXPECT_NE(error.text.find("1024 bytes/s over 60 s"), std::string::npos) << error.text;
  EXPECT_GT(sink.Size(), 0u);
}

TEST(TransportRetries, BackoffAndRetryAfter) {
  const std::string unavailable = "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n\r\n";
  struct Case {
    const char* name;
    std::vector<std::string> replies;
    int retries;
    double random;
    bool ok;
    std::vector<int64_t> sleeps;
    int connections;
  } cases[] = {
      {"503 then 200", {unavailable, Ok("fine")}, 3, 0.5, true, {1125}, 2},
      {"always 503",
       {unavailable, unavailable, unavailable, unavailable},
       3,
       0.0,
       false,
       {1000, 2000, 4000},
       4},
      {"jitter at most a quarter", {unavailable, unavailable}, 1, 0.999, false, {1249}, 2},
      {"Retry-After",
       {"HTTP/1.1 503 Busy\r\nRetry-After: 7\r\nContent-Length: 0\r\n\r\n", Ok("fine")},
       3,
       0.5,
       true,
       {7000},
       2},
      {"Retry-After capped",
       {"HTTP/1.1 429 Busy\r\nRetry-After: 3600\r\nContent-Length: 0\r\n\r\n", Ok("fine")},
       3,
       0.5,
       true,
       {60000},
       2},
      {"Retry-After as a date",
       {"HTTP/1.1 503 Busy\r\nRetry-After: Sun, 06 Nov 1994 08:49:49 GMT\r\n"
        "Content-Length: 0\r\n\r\n",
        Ok("fine")},
       3,
       0.5,
       true,
       {12000},
       2},
      {"Retry-After date passed",
       {"HTTP/1.1 503 Busy\r\nRetry-After: Sun, 06 Nov 1994 08:40:00 GMT\r\n"
        "Content-Length: 0\r\n\r\n",
        Ok("fine")},
       3,
       0.5,
       true,
       {0},
       2},
      {"Retry-After unreadable",
       {"HTTP/1.1 503 Busy\r\nRetry-After: soon\r\nContent-Length: 0\r\n\r\n", Ok("fine")},
       3,
       0.5,
       true,
       {1125},
       2},
      {"404 is not retried", {"HTTP/1.1 404 Not Found\r\n\r\n", Ok("x")}, 3, 0.5, false, {}, 1},
      {"401 is not retried", {"HTTP/1.1 401 No\r\n\r\n", Ok("x")}, 3, 0.5, false, {}, 1},
  };
  for (const Case& c : cases) {
    ScriptedServer server(Replies(c.replies), static_cast<int>(c.replies.size()));
    SteppingClock clock(1, c.random);
    Transport transport(Quick(c.retries), nullptr, &clock);
    std::vector<std::string> messages;
    transport.SetRetryMessage([&](const std::string& line) { messages.push_back(line); });
    StringSink sink;
    TransferRequest request;
    request.url = server.Url("/r");
    TransferError error;
    EXPECT_EQ(transport.Fetch(request, &sink, &error), c.ok) << c.name << ": " << error.text;
    EXPECT_EQ(clock.sleeps, c.sleeps) << c.name;
    EXPECT_EQ(messages.size(), c.sleeps.size()) << c.name;
    for (const std::string& m : messages) {
      EXPECT_NE(m.find("retry "), std::string::npos) << m;
      EXPECT_EQ(m.find('\n'), std::string::npos) << m;
    }
    EXPECT_EQ(Served(server, 4), c.connections) << c.name;
  }
}

TEST(TransportRetries, RefusedConnectionIsRetried) {
  int port = testutil::FreePort();
  SteppingClock clock(1);
  Transport transport(Quick(2), nullptr, &clock);
  StringSink sink;
  TransferRequest request;
  request.url = "http://127.0.0.1:" + std::to_string(port) + "/x";
  TransferError error;
  EXPECT_FALSE(transport.Fetch(request, &sink, &error));
  EXPECT_EQ(error.failure, TransferFailure::kConnect) << error.text;
  EXPECT_NE(error.text.find("127.0.0.1:" + std::to_string(port)), std::string::npos);
  EXPECT_EQ(clock.sleeps.size(), 2u);
}

// The Range header of a request, empty when there is none.
std::string RangeOf(const std::string& request) {
  size_t at = request.find("Range: ");
  if (at == std::string::npos) return "";
  return request.substr(at + 7, request.find("\r\n", at) - at - 7);
}

TEST(TransportResume, ResetMidBodyThenRerunResumes) {
  const std::string body = Pattern(100000);
  const size_t cut = 30000;
  std::atomic<size_t> resent{0};
  ScriptedServer server(
      [&](ScriptConn& conn, int index) {
        std::string request = conn.ReadRequest();
        if (index == 0) {
          conn.Send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + body.substr(0, cut));
          conn.Sleep(50);
          conn.Abort();
          return;
        }
        std::string range = RangeOf(request);
        size_t from = range.empty() ? 0 : std::stoul(range.substr(6));
        resent = body.size() - from;
        conn.Send("HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + std::to_string(from) +
                  "-99999/100000\r\nContent-Length: " + std::to_string(body.size() - from) +
                  "\r\n\r\n" + body.substr(from));
      },
      2);
  TempDir dir;
  const std::string path = dir.Sub("pack");
  TransferRequest request;
  request.url = server.Url("/pack");
  TransferError error;
  {
    Transport first(Quick());
    FileSink sink(path);
    EXPECT_FALSE(first.Fetch(request, &sink, &error));
    EXPECT_TRUE(error.Transient()) << error.text;
  }
  std::string partial = testutil::ReadFileOr(path);
  ASSERT_GT(partial.size(), 0u);
  ASSERT_LE(partial.size(), cut);
  {
    Transport rerun(Quick());
    FileSink sink(path);
    std::string why;
    ASSERT_TRUE(sink.Open(&why)) << why;
    EXPECT_TRUE(rerun.Fetch(request, &sink, &error)) << error.text;
    ASSERT_TRUE(sink.Close(&why));
  }
  EXPECT_EQ(testutil::ReadFileOr(path), body);
  EXPECT_EQ(RangeOf(server.Received(1)), "bytes=" + std::to_string(partial.size()) + "-");
  // The rerun fetched only what the first run lacked.
  EXPECT_EQ(resent.load(), body.size() - partial.size());
}

TEST(TransportResume, AnswersToARangeRequest) {
  const std::string body = Pattern(5000);
  const std::string full = Ok(body);
  struct Case {
    const char* name;
    std::vector<std::string> replies;
    int connections;
  } cases[] = {
      {"206 from the wrong offset starts over",
       {"HTTP/1.1 206 Partial\r\nContent-Range: bytes 0-4999/5000\r\nContent-Length: 5000\r\n\r\n" +
            body,
        full},
       2},
      {"200 to a Range request starts over", {full}, 1},
      {"416 starts over",
       {"HTTP/1.1 416 Range Not Satisfiable\r\nContent-Length: 0\r\n\r\n", full},
       2},
      {"206 from the right offset is appended",
       {"HTTP/1.1 206 Partial\r\nContent-Range: bytes 1000-4999/5000\r\nContent-Length: 4000\r\n"
        "\r\n" +
        body.substr(1000)},
       1},
  };
  for (const Case& c : cases) {
    ScriptedServer server(Replies(c.replies), static_cast<int>(c.replies.size()));
    Transport transport(Quick());
    StringSink sink;
    // What an earlier run left: the first 1000 bytes (wrong ones where the server starts over).
    *sink.mutable_data() =
        c.connections == 1 && c.replies[0] == full ? std::string(1000, '?') : body.substr(0, 1000);
    TransferRequest request;
    request.url = server.Url("/p");
    TransferError error;
    EXPECT_TRUE(transport.Fetch(request, &sink, &error)) << c.name << ": " << error.text;
    EXPECT_EQ(sink.data(), body) << c.name;
    EXPECT_EQ(Served(server, 4), c.connections) << c.name;
    EXPECT_EQ(RangeOf(server.Received(0)), "bytes=1000-") << c.name;
    if (c.connections == 2) {
      EXPECT_EQ(RangeOf(server.Received(1)), "") << c.name;
    }
  }
}

// Serves requests on one connection as long as the script's answers last.
ScriptedServer::Script KeepAlive(std::vector<std::string> answers, size_t per_connection) {
  return [answers, per_connection](ScriptConn& conn, int index) {
    for (size_t i = 0; i < per_connection; i++) {
      size_t n = static_cast<size_t>(index) * per_connection + i;
      if (n >= answers.size() || conn.ReadRequest().empty()) return;
      conn.Send(answers[n]);
    }
  };
}

TEST(TransportKeepAlive, ConnectionsAcrossASequence) {
  const std::string a = Pattern(3000, 1), b = Pattern(20000, 2), c = Pattern(10, 3);
  struct Case {
    const char* name;
    std::vector<std::string> answers;
    size_t per_connection;
    int connections;
  } cases[] = {
      {"kept alive", {Ok(a), Ok(b), Ok(c)}, 3, 1},
      {"chunked answers kept alive", {Chunked(a, 1000), Chunked(b, 4096), Chunked(c, 3)}, 3, 1},
      {"server closes after each answer", {Ok(a), Ok(b), Ok(c)}, 1, 3},
      {"Connection: close in the middle", {Ok(a), Ok(b, "Connection: close\r\n"), Ok(c)}, 2, 2},
      {"HTTP/1.0 without keep-alive",
       {"HTTP/1.0 200 OK\r\nContent-Length: 3000\r\n\r\n" + a, Ok(b), Ok(c)},
       1,
       3},
  };
  for (const Case& t : cases) {
    ScriptedServer server(KeepAlive(t.answers, t.per_connection), 3);
    Transport transport(Quick());
    const std::string expected[] = {a, b, c};
    for (int i = 0; i < 3; i++) {
      StringSink sink;
      TransferRequest request;
      request.url = server.Url("/f" + std::to_string(i));
      TransferError error;
      EXPECT_TRUE(transport.Fetch(request, &sink, &error)) << t.name << " " << i << error.text;
      EXPECT_EQ(sink.data(), expected[i]) << t.name << " " << i;
    }
    EXPECT_EQ(Served(server, 3), t.connections) << t.name;
    EXPECT_EQ(transport.connections_opened(), static_cast<uint64_t>(t.connections)) << t.name;
  }
}

TEST(TransportRedirects, FollowsLocation) {
  ScriptedServer server(Replies({"HTTP/1.1 302 Found\r\nLocation: /moved\r\nContent-Length: "
                                 "0\r\nConnection: close\r\n\r\n",
                                 Ok("moved here")}),
                        2);
  Transport transport(Quick());
  StringSink sink;
  TransferRequest request;
  request.url = server.Url("/orig");
  TransferError error;
  EXPECT_TRUE(transport.Fetch(request, &sink, &error)) << error.text;
  EXPECT_EQ(sink.data(), "moved here");
  EXPECT_EQ(server.Received(1).rfind("GET /moved HTTP/1.1\r\n", 0), 0u);
}

TEST(TransportNginx, RealRangeAnswersAndKeepAlive) {
  if (!testutil::HaveNginx()) GTEST_SKIP() << "nginx missing";
  TempDir root;
  const std::string body = Pattern(300000);
  ASSERT_TRUE(testutil::WriteFile(root.Sub("big.bin"), body));
  ASSERT_TRUE(testutil::WriteFile(root.Sub("small.bin"), "small"));
  testutil::NginxServer nginx(root.path());
  ASSERT_TRUE(nginx.ok()) << nginx.error();
  Transport transport(Quick());
  StringSink sink;
  *sink.mutable_data() = body.substr(0, 123456);
  TransferRequest request;
  request.url = nginx.Url("/big.bin");
  TransferError error;
  ASSERT_TRUE(transport.Fetch(request, &sink, &error)) << error.text;
  EXPECT_EQ(sink.data(), body);
  StringSink small;
  request.url = nginx.Url("/small.bin");
  ASSERT_TRUE(transport.Fetch(request, &small, &error)) << error.text;
  EXPECT_EQ(small.data(), "small");
  EXPECT_EQ(transport.connections_opened(), 1u);
  EXPECT_NE(nginx.AccessLog().find("\"GET /big.bin HTTP/1.1\" 206 "), std::string::npos)
      << nginx.AccessLog();
}

TEST(TransportFtp, RestContinuesAPartialFile) {
  if (testutil::PyFtpdPython().empty()) GTEST_SKIP() << "python3-pyftpdlib missing";
  TempDir root;
  const std::string body = Pattern(200000, 9);
  ASSERT_TRUE(testutil::WriteFile(root.Sub("pub/data.bin"), body));
  testutil::PyFtpdServer server(root.path());
  ASSERT_TRUE(server.ok()) << server.error();
  const std::string url = "ftp://127.0.0.1:" + std::to_string(server.port()) + "/pub/data.bin";
  struct Case {
    const char* name;
    std::string held;
    uint64_t max_bytes;
    bool ok;
  } cases[] = {
      {"from the start", "", 0, true},
      {"after a partial file", body.substr(0, 77777), 0, true},
      {"above the maximum", "", 1000, false},
  };
  for (const Case& c : cases) {
    Transport transport(Quick());
    StringSink sink;
    *sink.mutable_data() = c.held;
    TransferRequest request;
    request.url = url;
    request.max_bytes = c.max_bytes;
    TransferError error;
    EXPECT_EQ(transport.Fetch(request, &sink, &error), c.ok) << c.name << ": " << error.text;
    if (c.ok) {
      EXPECT_EQ(sink.data(), body) << c.name;
    } else {
      EXPECT_EQ(error.failure, TransferFailure::kTooLarge) << c.name << ": " << error.text;
      EXPECT_LE(sink.Size(), c.max_bytes);
    }
  }
}

}  // namespace
