#include "desktop/windows/crash_reporter/upload/first_request.h"

#include <windows.h>

#include <stdio.h>

#include <string>

#include "desktop/windows/crash_reporter/upload/deadline_task.h"
#include "desktop/windows/crash_reporter/upload/server_answer.h"
#include "gtest/gtest.h"
#include "runtime/seam.h"
#include "testing/crash_server_session/local_crash_server.h"
#include "testing/test_support/scripted_http_server.h"
#include "testing/test_support/test_text.h"
#include "testing/test_support/wait_until.h"

namespace tavra {
namespace {

constexpr int32_t kPipelineTimeoutMs = 3000;
// Far above the time-out: only a request that hangs goes past it.
constexpr DWORD kHangMs = 10000;
constexpr wchar_t kUntouched[] = L"untouched";
const wchar_t kSuffix[] = L" (Edition developer)";

struct Outcome {
  FirstRequestResult result;
  std::wstring id = kUntouched;
  std::wstring location = kUntouched;
  DWORD elapsedMs;
};

Outcome send(const std::wstring& url, const std::wstring& crashUrl = L"",
             const std::wstring& origin = L"", int32_t timeoutMs = kPipelineTimeoutMs,
             const std::wstring& signatureHash = L"") {
  Outcome outcome;
  const DWORD start = GetTickCount();
  outcome.result = sendFirstRequest(url, kSuffix, crashUrl, origin, &outcome.id, &outcome.location,
                                    timeoutMs, signatureHash);
  outcome.elapsedMs = GetTickCount() - start;
  return outcome;
}

class FirstRequestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.attach())
        << "run through testing/crash_server_session/with_crash_server.sh";
  }
  LocalCrashServer server_;
};

TEST_F(FirstRequestTest, ReadsTheIdAndLocationOfARedirect) {
  const struct {
    const char* mode;
    const wchar_t* idBefore;  // what precedes the id in the location's path
    const wchar_t* afterId;
    bool emptyId;
  } cases[] = {
      {"redirect", L"report?id=", L"&x=1", false},
      {"empty-id", L"report?id=", L"&x=1", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    ASSERT_TRUE(server_.setFirstRequestMode(c.mode));
    const Outcome outcome = send(server_.url() + L"crash?product=tavra");
    ASSERT_EQ(outcome.result, FirstRequestResult::IdReceived);
    if (c.emptyId) {
      EXPECT_EQ(outcome.id, L"");
    } else {
      EXPECT_TRUE(isReportId(outcome.id)) << outcome.id;
    }
    EXPECT_EQ(outcome.location, server_.url() + c.idBefore + outcome.id + c.afterId);
  }
}

TEST_F(FirstRequestTest, ReadsALocationLongerThanTheFirstBufferUpToItsBound) {
  const struct {
    size_t bytes;
    bool usable;
  } cases[] = {
      {kMaxLocationChars, true},
      // Refused whole rather than cut to a head that looks like an address.
      {kMaxLocationChars + 1, false},
      {65536, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    ASSERT_TRUE(server_.setFirstRequestMode("long-location:" + std::to_string(c.bytes)));
    const Outcome outcome = send(server_.url());
    if (!c.usable) {
      EXPECT_EQ(outcome.result, FirstRequestResult::NoId);
      EXPECT_EQ(outcome.id, kUntouched);
      EXPECT_EQ(outcome.location, kUntouched);
      continue;
    }
    ASSERT_EQ(outcome.result, FirstRequestResult::IdReceived);
    EXPECT_TRUE(isReportId(outcome.id)) << outcome.id;
    // The server pads the location with "x" up to its size.
    const std::wstring start = server_.url() + L"report?id=" + outcome.id + L"&x=1&pad=";
    ASSERT_LT(start.size(), c.bytes);
    EXPECT_EQ(outcome.location, start + std::wstring(c.bytes - start.size(), L'x'));
  }
}

TEST_F(FirstRequestTest, AnswersOtherThanAUsableRedirectLeaveTheOutputsAlone) {
  const struct {
    const char* mode;
    FirstRequestResult result;
  } cases[] = {
      {"no-ampersand", FirstRequestResult::NoId},
      {"no-id", FirstRequestResult::NoId},
      {"status:302", FirstRequestResult::NoId},
      {"status:200", FirstRequestResult::NoId},
      {"status:500", FirstRequestResult::NoId},
      {"unavailable", FirstRequestResult::ServiceUnavailable},
      // 503 with the redirect's Location and id still declines.
      {"status:503", FirstRequestResult::ServiceUnavailable},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    ASSERT_TRUE(server_.setFirstRequestMode(c.mode));
    const Outcome outcome = send(server_.url());
    EXPECT_EQ(outcome.result, c.result);
    EXPECT_EQ(outcome.id, kUntouched);
    EXPECT_EQ(outcome.location, kUntouched);
  }
}

TEST_F(FirstRequestTest, ABadNetworkOrServerReleasesTheCallerWithinTheTimeOut) {
  const struct {
    const char* mode;
    FirstRequestResult result;
  } cases[] = {
      {"silent", FirstRequestResult::NoId},
      {"hold:30", FirstRequestResult::NoId},
      {"refuse", FirstRequestResult::NoId},
      {"bad-status", FirstRequestResult::NoId},
      // The answer's headers are all that the first request reads.
      {"headers-only", FirstRequestResult::IdReceived},
      {"close-mid-body", FirstRequestResult::IdReceived},
      {"slow-body:2000", FirstRequestResult::IdReceived},
      {"unavailable,headers-only", FirstRequestResult::ServiceUnavailable},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    ASSERT_TRUE(server_.setFirstRequestMode(c.mode));
    const Outcome outcome = send(server_.url());
    printf("first request, server mode %s: result %d after %lu ms\n", c.mode,
           static_cast<int>(outcome.result), outcome.elapsedMs);
    EXPECT_EQ(outcome.result, c.result);
    EXPECT_LT(outcome.elapsedMs, kHangMs);
  }
}

TEST(FirstRequestNetworkTest, NoServerOrAServerThatNeverAnswersIsNoIdWithinTheTimeOut) {
  const struct {
    const char* name;
    ScriptedHttpServer::Behaviour behaviour;
    const char* answer;
    DWORD pauseMs;
  } cases[] = {
      // A port that nobody listens on any more.
      {"refused", ScriptedHttpServer::Behaviour::kAnswer, nullptr, 0},
      // This WinInet ignores the connect time-out.
      {"connect never answered", ScriptedHttpServer::Behaviour::kNeverAccept, "", 0},
      {"accepted, never read", ScriptedHttpServer::Behaviour::kStall, "", 0},
      // Each byte comes well within the receive time-out, the whole answer
      // long after the caller's.
      {"headers a byte at a time", ScriptedHttpServer::Behaviour::kTrickle,
       "HTTP/1.1 303 See Other\r\nLocation: http://s/r?id=SLOW&x=1\r\nX-Pad: 0123456789\r\n"
       "Content-Length: 0\r\n\r\n",
       200},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedHttpServer server(c.behaviour, c.answer != nullptr ? c.answer : "", c.pauseMs);
    ASSERT_TRUE(server.start());
    if (c.answer == nullptr) server.stop();
    const Outcome outcome = send(server.url(L"/crash"));
    printf("first request, %s: result %d after %lu ms\n", c.name, static_cast<int>(outcome.result),
           outcome.elapsedMs);
    EXPECT_EQ(outcome.result, FirstRequestResult::NoId);
    EXPECT_EQ(outcome.id, kUntouched);
    EXPECT_LT(outcome.elapsedMs, kHangMs);
  }
}

TEST(FirstRequestNetworkTest, OnlyAStatusOfExactly303Or503Counts) {
  const struct {
    const char* status;
    FirstRequestResult result;
  } cases[] = {
      {"303", FirstRequestResult::IdReceived},
      {"503", FirstRequestResult::ServiceUnavailable},
      // Four digits: not a 303 with its last digit cut off.
      {"3030", FirstRequestResult::NoId},
      {"5030", FirstRequestResult::NoId},
      {"30300", FirstRequestResult::NoId},
      {"304", FirstRequestResult::NoId},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    ScriptedHttpServer server(ScriptedHttpServer::Behaviour::kAnswer,
                              std::string("HTTP/1.1 ") + c.status +
                                  " Answer\r\nLocation: http://s/r?id=AB&\r\n"
                                  "Content-Length: 0\r\n\r\n");
    ASSERT_TRUE(server.start());
    const Outcome outcome = send(server.url());
    EXPECT_EQ(outcome.result, c.result);
    if (c.result == FirstRequestResult::IdReceived) {
      EXPECT_EQ(outcome.id, L"AB");
      EXPECT_EQ(outcome.location, L"http://s/r?id=AB&");
    }
  }
}

TEST(FirstRequestNetworkTest, AHostileLocationIsNoIdAndLeavesTheOutputsAlone) {
  const struct {
    const char* name;
    std::string location;
  } cases[] = {
      {"javascript", "javascript:alert(document.cookie)//http://s/?id=1&"},
      {"file", "file:///C:/Users/Public/?id=1&"},
      {"relative", "/report?id=1&x=1"},
      {"control characters", "http://s/?id=1&\x01\x7f"},
      {"a quote", "http://s/?id=1&\"><a href=\"javascript:x"},
      {"3 KiB", "http://s/?id=1&x=1&pad=" + std::string(3 * 1024 - 23, 'x')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedHttpServer server(
        ScriptedHttpServer::Behaviour::kAnswer,
        "HTTP/1.1 303 See Other\r\nLocation: " + c.location + "\r\nContent-Length: 0\r\n\r\n");
    ASSERT_TRUE(server.start());
    const Outcome outcome = send(server.url());
    EXPECT_EQ(outcome.result, FirstRequestResult::NoId);
    EXPECT_EQ(outcome.id, kUntouched);
    EXPECT_EQ(outcome.location, kUntouched);
    server.stop();
    EXPECT_EQ(server.requests().size(), 1u);
  }
}

TEST(FirstRequestNetworkTest, WithTooManyRequestsPastTheirDeadlineTheNextIsSkipped) {
  ScopedSeamReplacement<uint32_t> bound(&abandonedDeadlineThreadBoundSeam, 1);
  // Each byte well within the receive time-out, the whole answer never: the
  // request stays under way until the server stops.
  ScriptedHttpServer holding(ScriptedHttpServer::Behaviour::kTrickle,
                             "HTTP/1.1 303 See Other\r\nX-Pad: " + std::string(100000, 'p'), 100);
  ASSERT_TRUE(holding.start());
  ScriptedHttpServer answering(ScriptedHttpServer::Behaviour::kAnswer,
                               "HTTP/1.1 303 See Other\r\nLocation: http://s/r?id=7&\r\n"
                               "Content-Length: 0\r\n\r\n");
  ASSERT_TRUE(answering.start());
  ASSERT_EQ(DeadlineTask::abandonedThreads(), 0u);

  EXPECT_EQ(send(holding.url(), L"", L"", 1000).result, FirstRequestResult::NoId);
  EXPECT_EQ(DeadlineTask::abandonedThreads(), 1u);
  const Outcome skipped = send(answering.url());
  EXPECT_EQ(skipped.result, FirstRequestResult::Skipped);
  EXPECT_EQ(skipped.id, kUntouched);
  EXPECT_EQ(skipped.location, kUntouched);
  EXPECT_EQ(answering.connectionCount(), 0);

  // Once the held request has ended, requests go out again.
  holding.stop();
  ASSERT_TRUE(waitUntil([] { return DeadlineTask::abandonedThreads() == 0; }, 30000));
  EXPECT_EQ(send(answering.url()).result, FirstRequestResult::IdReceived);
  EXPECT_EQ(answering.connectionCount(), 1);
}

TEST(FirstRequestNetworkTest, SendsTheCrashUrlOriginAndSignatureOnlyWhenGiven) {
  const struct {
    const wchar_t* crashUrl;
    const wchar_t* origin;
    const wchar_t* signature;
    // Each header line expected, or null for no such header.
    const char* lines[3];
  } cases[] = {
      {L"", L"", L"", {nullptr, nullptr, nullptr}},
      {L"http://page.test/a?b=1&c",
       L"",
       L"",
       {"X-Tavra-Crash-URL: http://page.test/a?b=1&c\r\n", nullptr, nullptr}},
      {L"", L"renderer", L"", {nullptr, "X-Origin: renderer\r\n", nullptr}},
      {L"", L"", L"0123456789ab", {nullptr, nullptr, "X-Tavra-Crash-Signature: 0123456789ab\r\n"}},
      {L"u",
       L"o",
       L"d5a79a66c91f",
       {"X-Tavra-Crash-URL: u\r\n", "X-Origin: o\r\n",
        "X-Tavra-Crash-Signature: d5a79a66c91f\r\n"}},
      // A line end in the text would start a header of the client's making.
      {L"http://a/\r\nX-Injected: 1",
       L"x\ny",
       L"",
       {"X-Tavra-Crash-URL: http://a/  X-Injected: 1\r\n", "X-Origin: x y\r\n", nullptr}},
  };
  const char* const kNames[] = {"X-Tavra-Crash-URL", "X-Origin", "X-Tavra-Crash-Signature"};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(c.crashUrl) + L" " + c.signature));
    ScriptedHttpServer server(ScriptedHttpServer::Behaviour::kAnswer,
                              "HTTP/1.1 303 See Other\r\nLocation: http://s/r?id=1&\r\n"
                              "Content-Length: 0\r\n\r\n");
    ASSERT_TRUE(server.start());
    EXPECT_EQ(send(server.url(L"/crash?x=1"), c.crashUrl, c.origin, kPipelineTimeoutMs, c.signature)
                  .result,
              FirstRequestResult::IdReceived);
    server.stop();
    ASSERT_EQ(server.requests().size(), 1u);
    const std::string request = server.requests()[0];
    EXPECT_EQ(request.rfind("GET /crash?x=1 HTTP/1.1\r\n", 0), 0u) << request;
    EXPECT_NE(
        request.find("\r\nUser-Agent: TavraCrashReporter/1.0 (Windows) (Edition developer)\r\n"),
        std::string::npos)
        << request;
    for (size_t i = 0; i < 3; ++i) {
      if (c.lines[i] != nullptr) {
        EXPECT_NE(request.find(std::string("\r\n") + c.lines[i]), std::string::npos) << request;
      } else {
        EXPECT_EQ(request.find(kNames[i]), std::string::npos) << request;
      }
    }
    EXPECT_EQ(request.find("\r\nX-Injected"), std::string::npos) << request;
  }
}

TEST(FirstRequestNetworkTest, AnAddressOfAnotherSchemeMakesNoConnection) {
  ScriptedHttpServer server(ScriptedHttpServer::Behaviour::kAnswer,
                            "HTTP/1.1 303 See Other\r\nLocation: http://s/r?id=1&\r\n\r\n");
  ASSERT_TRUE(server.start());
  const std::wstring hostAndPort = L"127.0.0.1:" + std::to_wstring(server.port());
  const std::wstring addresses[] = {
      L"ftp://" + hostAndPort + L"/",
      L"HTTPS://" + hostAndPort + L"/",
      L"HTTP://" + hostAndPort + L"/",
      L"Http://" + hostAndPort + L"/",
      L"httpx://" + hostAndPort + L"/",
      hostAndPort,
      L"",
      // A path and query beyond the 255 units that the address may carry.
      L"http://" + hostAndPort + L"/" + std::wstring(300, L'p'),
  };
  for (const std::wstring& address : addresses) {
    const Outcome outcome = send(address);
    EXPECT_EQ(outcome.result, FirstRequestResult::NoId) << address;
    EXPECT_EQ(outcome.id, kUntouched);
  }
  server.stop();
  EXPECT_EQ(server.connectionCount(), 0);
}

TEST(FirstRequestNetworkTest, WithoutATimeOutTheAnswerIsStillRead) {
  ScriptedHttpServer server(ScriptedHttpServer::Behaviour::kAnswer,
                            "HTTP/1.1 303 See Other\r\nLocation: http://s/?id=Q1&x\r\n\r\n");
  ASSERT_TRUE(server.start());
  const Outcome outcome = send(server.url(), L"", L"", 0);
  EXPECT_EQ(outcome.result, FirstRequestResult::IdReceived);
  EXPECT_EQ(outcome.id, L"Q1");
  EXPECT_EQ(outcome.location, L"http://s/?id=Q1&x");
}

}  // namespace
}  // namespace tavra
