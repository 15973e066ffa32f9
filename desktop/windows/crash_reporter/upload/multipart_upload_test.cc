#include "desktop/windows/crash_reporter/upload/multipart_upload.h"

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "desktop/windows/crash_reporter/upload/first_request.h"
#include "desktop/windows/crash_reporter/upload/report_archive.h"
#include "gtest/gtest.h"
#include "nlohmann/json.hpp"
#include "runtime/file_util.h"
#include "runtime/scoped_temp_dir.h"
#include "runtime/utf_conversion.h"
#include "testing/crash_server_session/local_crash_server.h"
#include "testing/test_support/scoped_current_directory.h"
#include "testing/test_support/scripted_http_server.h"

namespace tavra {
namespace {

constexpr wchar_t kSuffix[] = L" (Edition developer)";
constexpr wchar_t kArchiveName[] = L"tavra-crashlog-9-1.zip";
constexpr wchar_t kUntouched[] = L"untouched";
constexpr DWORD kHangMs = 10000;

struct Sent {
  bool ok;
  std::wstring response = kUntouched;
  int32_t code = 77;
  DWORD elapsedMs;
};

Sent upload(const std::wstring& url, const UploadParameters& parameters,
            const std::wstring& file = kArchiveName, const uint32_t* timeoutMs = nullptr) {
  Sent sent;
  const DWORD start = GetTickCount();
  sent.ok = sendMultipartUpload(kSuffix, url, parameters, file, L"file", timeoutMs, &sent.response,
                                &sent.code);
  sent.elapsedMs = GetTickCount() - start;
  return sent;
}

nlohmann::json parseJson(const std::string& text) {
  return nlohmann::json::parse(text, nullptr, false);
}

// Each test works in a folder of its own, as the reporter works in its crash
// folder, and uploads a real archive of a crash log by its bare name.
class MultipartUploadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.create(L"upload"));
    ASSERT_TRUE(currentDirectory_.enter(dir_.path()));
    log_ = "Tavra crash log\r\nException: 0xc0000005\r\n";
    for (int i = 0; i < 2000; ++i) log_ += "stack " + std::to_string(i * 7919) + "\r\n";
    ASSERT_TRUE(writeFile(L"tavra-crashlog-9-1.txt", log_));
    ASSERT_EQ(createReportArchive("tavra-crashlog-9-1.txt", "tavra-crashlog-9-1.zip"),
              ArchiveResult::kCreated);
    ASSERT_TRUE(readFileToString(kArchiveName, &archive_));
  }
  void TearDown() override {
    uploadStallTimeoutSeam.replaceForTesting(0);
    uploadTotalTimeoutSeam.replaceForTesting(0);
  }

  ScopedTempDir dir_;
  ScopedCurrentDirectory currentDirectory_;
  std::string log_;
  std::string archive_;
};

class CrashServerUploadTest : public MultipartUploadTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.attach())
        << "run through testing/crash_server_session/with_crash_server.sh";
    MultipartUploadTest::SetUp();
  }

  // The one report that the server stored, with its metadata.
  void onlyReport(std::wstring* id, nlohmann::json* metadata) {
    const std::vector<std::wstring> ids = server_.reportIds();
    ASSERT_EQ(ids.size(), 1u);
    *id = ids[0];
    std::string text;
    ASSERT_TRUE(server_.readReportFile(*id, L"metadata.json", &text));
    *metadata = parseJson(text);
    ASSERT_FALSE(metadata->is_discarded());
  }

  // The body that the server received, byte for byte against the layout
  // rebuilt with the boundary that it saw.
  void expectBody(const std::wstring& id, const nlohmann::json& metadata,
                  const UploadParameters& parameters) {
    const std::wstring boundary = utf8ToWide(metadata.value("boundary", std::string()));
    ASSERT_EQ(boundary.size(), 43u);
    EXPECT_EQ(boundary.substr(0, 27), std::wstring(27, L'-'));
    // rand() draws 0 to 32767: each group starts with four zeros.
    EXPECT_EQ(boundary.substr(27, 4), L"0000");
    EXPECT_EQ(boundary.substr(35, 4), L"0000");
    MultipartBody expected;
    ASSERT_TRUE(buildMultipartBody(boundary, parameters, kArchiveName, L"file", archive_,
                                   wideToUtf8, &expected));
    std::string received;
    ASSERT_TRUE(server_.readReportFile(id, L"request_body.bin", &received));
    EXPECT_TRUE(received == std::string(expected.bytes.get(), expected.size))
        << "the server received a different body";
  }

  LocalCrashServer server_;
};

TEST_F(CrashServerUploadTest, TheServerStoresTheFieldsAndTheLogAfterTheFirstRequest) {
  const struct {
    const wchar_t* crashUrl;
    const wchar_t* origin;
    const uint32_t timeoutMs;  // 0: none given
  } cases[] = {
      {L"http://page.test/\u00e9?a=1&b", L"renderer", 0},
      {L"", L"", 30000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(c.crashUrl)));
    std::wstring id;
    std::wstring location;
    ASSERT_EQ(sendFirstRequest(server_.url(), kSuffix, c.crashUrl, c.origin, &id, &location, 3000),
              FirstRequestResult::IdReceived);
    UploadParameters parameters = {
        {L"CrashUptime", L"5"}, {L"TotalUptime", L"1234"},
        {L"email", L""},        {L"stacktraceId", id},
        {L"url", c.crashUrl},   {L"userComments", L"line\r\nwith \"quotes\" & \u4e2d"},
    };
    const Sent sent =
        upload(server_.url(), parameters, kArchiveName, c.timeoutMs != 0 ? &c.timeoutMs : nullptr);
    ASSERT_TRUE(sent.ok);
    EXPECT_EQ(sent.code, 200);
    EXPECT_EQ(sent.response, L"report " + id + L" stored\n");

    std::string text;
    ASSERT_TRUE(server_.readReportFile(id, L"fields.json", &text)) << "stored under its id";
    nlohmann::json fields = nlohmann::json::object();
    for (const auto& parameter : parameters) {
      fields[wideToUtf8(parameter.first)] = wideToUtf8(parameter.second);
    }
    EXPECT_EQ(parseJson(text), fields);
    std::string crashlog;
    ASSERT_TRUE(server_.readReportFile(id, L"crashlog.txt", &crashlog));
    EXPECT_TRUE(crashlog == log_) << "the unpacked log differs";

    ASSERT_TRUE(server_.readReportFile(id, L"metadata.json", &text));
    const nlohmann::json metadata = parseJson(text);
    EXPECT_EQ(metadata.value("user_agent", ""),
              "TavraCrashReporter/1.0 (Windows) (Edition developer)");
    EXPECT_EQ(metadata.value("file_name", ""), "tavra-crashlog-9-1.zip");
    expectBody(id, metadata, parameters);

    ASSERT_TRUE(server_.readReportFile(id, L"first_request.json", &text));
    // What the first request sent, as the server recorded it: no header
    // at all for an empty text.
    nlohmann::json first = parseJson(text);
    const auto recorded = [](const wchar_t* sent) {
      return *sent != 0 ? nlohmann::json(wideToUtf8(sent)) : nlohmann::json();
    };
    EXPECT_EQ(first["crash_url"], recorded(c.crashUrl)) << text;
    EXPECT_EQ(first["origin"], recorded(c.origin)) << text;
  }
}

TEST_F(CrashServerUploadTest, WithoutParametersTheBodyIsTheFilePartAndTheClosingLine) {
  const Sent sent = upload(server_.url(), UploadParameters());
  ASSERT_TRUE(sent.ok);
  std::wstring id;
  nlohmann::json metadata;
  onlyReport(&id, &metadata);
  EXPECT_EQ(metadata.value("field_count", -1), 0);
  expectBody(id, metadata, UploadParameters());
}

TEST_F(CrashServerUploadTest, TwoUploadsOnOneThreadUseDifferentBoundaries) {
  ASSERT_TRUE(upload(server_.url(), UploadParameters()).ok);
  ASSERT_TRUE(upload(server_.url(), UploadParameters()).ok);
  std::vector<std::string> boundaries;
  for (const std::wstring& id : server_.reportIds()) {
    std::string text;
    ASSERT_TRUE(server_.readReportFile(id, L"metadata.json", &text));
    boundaries.push_back(parseJson(text).value("boundary", std::string()));
  }
  ASSERT_EQ(boundaries.size(), 2u);
  EXPECT_NE(boundaries[0], boundaries[1]);
}

TEST_F(CrashServerUploadTest, AValueHoldingTheFirstDrawnBoundaryCannotForgeAPart) {
  // The boundary that this thread's rand() would give first, from a known
  // seed, put into a value with a forged part after it.
  const unsigned kSeed = 20240;
  srand(kSeed);
  const unsigned first = static_cast<unsigned>(rand());
  const unsigned second = static_cast<unsigned>(rand());
  const std::wstring predicted = makeMultipartBoundary(first, second);
  const std::wstring hostile = L"http://evil.test/\r\n--" + predicted +
                               L"\r\nContent-Disposition: form-data; name=\"stacktraceId\"\r\n\r\n"
                               L"forged\r\n--" +
                               predicted + L"--\r\n";
  const UploadParameters parameters = {{L"CrashUptime", L"3"}, {L"url", hostile}};
  srand(kSeed);
  const Sent sent = upload(server_.url(), parameters);
  ASSERT_TRUE(sent.ok);

  std::wstring id;
  nlohmann::json metadata;
  onlyReport(&id, &metadata);
  EXPECT_NE(utf8ToWide(metadata.value("boundary", std::string())), predicted);
  // The server read the two fields and the file, the value whole.
  std::string text;
  ASSERT_TRUE(server_.readReportFile(id, L"fields.json", &text));
  EXPECT_EQ(parseJson(text), nlohmann::json({{"CrashUptime", "3"}, {"url", wideToUtf8(hostile)}}));
  std::string crashlog;
  ASSERT_TRUE(server_.readReportFile(id, L"crashlog.txt", &crashlog));
  EXPECT_TRUE(crashlog == log_);
  expectBody(id, metadata, parameters);
}

TEST_F(CrashServerUploadTest, AnythingButAWholeOkAnswerFails) {
  const struct {
    const char* mode;
    int32_t code;
  } cases[] = {
      {"status:500", 500}, {"status:201", 201},     {"status:302", 302},
      {"short-body", 200}, {"close-mid-body", 200}, {"bad-status", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    ASSERT_TRUE(server_.setUploadMode(c.mode));
    const Sent sent = upload(server_.url(), UploadParameters{{L"a", L"b"}});
    EXPECT_FALSE(sent.ok);
    EXPECT_EQ(sent.code, c.code);
    EXPECT_EQ(sent.response, kUntouched);
  }
}

TEST_F(CrashServerUploadTest, AStalledServerEndsTheUploadWithinItsBound) {
  uploadStallTimeoutSeam.replaceForTesting(1000);
  uploadTotalTimeoutSeam.replaceForTesting(4000);
  const char* const modes[] = {
      "silent",
      "hold:60",
      // Every byte within the stall time-out, the whole far beyond the bound.
      "slow-body:600",
  };
  for (const char* mode : modes) {
    SCOPED_TRACE(mode);
    ASSERT_TRUE(server_.setUploadMode(mode));
    const Sent sent = upload(server_.url(), UploadParameters{{L"a", L"b"}});
    printf("upload, server mode %s: %d after %lu ms\n", mode, sent.ok, sent.elapsedMs);
    EXPECT_FALSE(sent.ok);
    EXPECT_LT(sent.elapsedMs, kHangMs);
  }
}

TEST_F(CrashServerUploadTest, ATimeOutGivenByTheCallerBoundsTheWaitForTheAnswer) {
  // Without the caller's time-out the upload would wait three times kHangMs
  // for the held answer.
  uploadStallTimeoutSeam.replaceForTesting(3 * kHangMs);
  uploadTotalTimeoutSeam.replaceForTesting(6 * kHangMs);
  ASSERT_TRUE(server_.setUploadMode("hold:60"));
  const uint32_t timeoutMs = 500;
  const Sent sent = upload(server_.url(), UploadParameters{{L"a", L"b"}}, kArchiveName, &timeoutMs);
  printf("upload, server mode hold:60, time-out %u: %d after %lu ms\n", timeoutMs, sent.ok,
         sent.elapsedMs);
  EXPECT_FALSE(sent.ok);
  EXPECT_LT(sent.elapsedMs, kHangMs);
}

TEST_F(MultipartUploadTest, FailsBeforeAnyConnectionOnABadNameSchemeOrFile) {
  ScriptedHttpServer server(ScriptedHttpServer::Behaviour::kAnswer,
                            "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
  ASSERT_TRUE(server.start());
  const std::wstring hostAndPort = L"127.0.0.1:" + std::to_wstring(server.port());
  const struct {
    std::wstring url;
    std::wstring name;
    std::wstring file;
  } cases[] = {
      {server.url(), L"a\"b", kArchiveName},
      {server.url(), L"", kArchiveName},
      {server.url(), L"line\nend", kArchiveName},
      {server.url(), L"caf\u00e9", kArchiveName},
      {L"ftp://" + hostAndPort + L"/", L"a", kArchiveName},
      {L"HTTPS://" + hostAndPort + L"/", L"a", kArchiveName},
      {L"HTTP://" + hostAndPort + L"/", L"a", kArchiveName},
      {server.url(), L"a", L"missing.zip"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.url + L" " + c.name + L" " + c.file));
    const Sent sent = upload(c.url, UploadParameters{{L"ok", L"1"}, {c.name, L"value"}}, c.file);
    EXPECT_FALSE(sent.ok);
    EXPECT_EQ(sent.code, 0);
  }
  server.stop();
  EXPECT_EQ(server.connectionCount(), 0);
}

TEST_F(MultipartUploadTest, ReadsTheAnswerWithinItsLengthAndSize) {
  const std::string tooLong(kMaxUploadResponseBytes + 1, 'x');
  const struct {
    const char* name;
    std::string answer;
    bool ok;
    int32_t code;
    const wchar_t* response;  // when ok
  } cases[] = {
      {"no length, empty", "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n", true, 200, L""},
      {"no length, text", "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nstored \xc3\xa9", true, 200,
       L"stored \u00e9"},
      {"text up to a NUL", std::string("HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nab\0cde", 44),
       true, 200, L"ab"},
      {"length not a number", "HTTP/1.1 200 OK\r\nContent-Length: 1x\r\n\r\nab", false, 200,
       nullptr},
      {"longer than allowed", "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + tooLong, false, 200,
       nullptr},
      // Four digits: not a 200 with its last digit cut off.
      {"status 2000", "HTTP/1.1 2000 OK\r\nContent-Length: 2\r\n\r\nok", false, 0, nullptr},
      {"status 500 with a body", "HTTP/1.1 500 Oops\r\nContent-Length: 4\r\n\r\nfail", false, 500,
       nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedHttpServer server(ScriptedHttpServer::Behaviour::kAnswer, c.answer);
    ASSERT_TRUE(server.start());
    const Sent sent = upload(server.url(L"/upload?email=a@b"), UploadParameters{{L"k", L"v"}});
    EXPECT_EQ(sent.ok, c.ok);
    EXPECT_EQ(sent.code, c.code);
    EXPECT_EQ(sent.response, c.ok ? c.response : kUntouched);
    server.stop();
    ASSERT_EQ(server.requests().size(), 1u);
    const std::string request = server.requests()[0];
    EXPECT_EQ(request.rfind("POST /upload?email=a@b HTTP/1.1\r\n", 0), 0u) << request;
    EXPECT_NE(request.find("\r\nContent-Type: multipart/form-data; boundary=-----"),
              std::string::npos);
  }
}

// A server, or anyone on the way, that redirects either request elsewhere
// or asks for the user's credentials gets no second request: not to the
// redirect's target, not with an Authorization header, on no connection.
TEST_F(MultipartUploadTest, NeitherRequestFollowsARedirectOrAnswersAChallenge) {
  // Where a followed redirect would go.
  ScriptedHttpServer target(ScriptedHttpServer::Behaviour::kAnswer,
                            "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
  ASSERT_TRUE(target.start());
  const std::string elsewhere = wideToUtf8(target.url(L"/elsewhere?id=1&x"));
  const struct {
    const char* name;
    std::string answer;
    int32_t code;
  } cases[] = {
      {"307", "HTTP/1.1 307 Temporary Redirect\r\nLocation: " + elsewhere, 307},
      {"308", "HTTP/1.1 308 Permanent Redirect\r\nLocation: " + elsewhere, 308},
      {"302", "HTTP/1.1 302 Found\r\nLocation: " + elsewhere, 302},
      {"401 NTLM", "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: NTLM", 401},
      {"401 Negotiate",
       "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Negotiate\r\nWWW-Authenticate: NTLM", 401},
      {"401 Basic", "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"crash\"", 401},
      {"407 NTLM", "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: NTLM", 407},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedHttpServer server(ScriptedHttpServer::Behaviour::kAnswer,
                              c.answer + "\r\nContent-Length: 0\r\n\r\n");
    ASSERT_TRUE(server.start());
    std::wstring id = kUntouched;
    std::wstring location = kUntouched;
    EXPECT_EQ(sendFirstRequest(server.url(L"/crash"), kSuffix, L"", L"", &id, &location, 3000),
              FirstRequestResult::NoId);
    const Sent sent = upload(server.url(L"/crash"), UploadParameters{{L"k", L"v"}});
    EXPECT_FALSE(sent.ok);
    EXPECT_EQ(sent.code, c.code);
    server.stop();
    // The first request and the upload, each once, with nothing of the user's.
    const std::vector<std::string> requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].rfind("GET /crash HTTP/1.1\r\n", 0), 0u) << requests[0];
    EXPECT_EQ(requests[1].rfind("POST /crash HTTP/1.1\r\n", 0), 0u) << requests[1].substr(0, 200);
    for (const std::string& request : requests) {
      const std::string head = request.substr(0, request.find("\r\n\r\n"));
      EXPECT_EQ(head.find("Authorization:"), std::string::npos) << head;
    }
  }
  target.stop();
  EXPECT_EQ(target.connectionCount(), 0);
}

TEST_F(MultipartUploadTest, NoServerOrAStalledOneEndsWithinTheBound) {
  uploadStallTimeoutSeam.replaceForTesting(1000);
  uploadTotalTimeoutSeam.replaceForTesting(4000);
  // Large enough that sending it fills every buffer of a server that does
  // not read.
  std::string big(16 * 1024 * 1024, '\0');
  for (size_t i = 0; i < big.size(); i += 4096) big[i] = static_cast<char>(i >> 12);
  ASSERT_TRUE(writeFile(L"big.bin", big));
  const struct {
    const char* name;
    ScriptedHttpServer::Behaviour behaviour;
  } cases[] = {
      {"connect never answered", ScriptedHttpServer::Behaviour::kNeverAccept},
      {"accepted, never read", ScriptedHttpServer::Behaviour::kStall},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedHttpServer server(c.behaviour);
    ASSERT_TRUE(server.start());
    const Sent sent = upload(server.url(), UploadParameters(), L"big.bin");
    printf("upload, %s: %d after %lu ms\n", c.name, sent.ok, sent.elapsedMs);
    EXPECT_FALSE(sent.ok);
    EXPECT_EQ(sent.code, 0);
    EXPECT_LT(sent.elapsedMs, kHangMs);
  }
}

}  // namespace
}  // namespace tavra
