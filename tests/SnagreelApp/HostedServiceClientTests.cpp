// The service client against the fake hosted service on 127.0.0.1, over TLS with
// certificate checks on; the credential store is the in-memory double.
#include "HostedTestSupport.hpp"

#include "SnagreelCore/Support/Uuid.hpp"

#include "SnagreelApp/Hosted/HostedServiceClient.hpp"
#include "devsupport/FakeHostedService.hpp"
#include "support/TemporaryDirectory.hpp"

#include <gtest/gtest.h>

#include <fstream>

using namespace snagreel;
using namespace snagreel::app;
using namespace snagreel::testing;
using snagreel::devsupport::FakeHostedService;
using snagreel::devsupport::FakeHttpRequest;
using snagreel::devsupport::FakeHttpResponse;
using Case = HostedServiceError::Case;

namespace {

class HostedServiceClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        QString whyNot;
        service_ = FakeHostedService::start(&whyNot);
        ASSERT_TRUE(service_) << whyNot.toStdString();
        store_ = std::make_shared<MemoryCredentialStore>();
        client_ = makeClient();
    }

    std::unique_ptr<HostedServiceClient> makeClient(bool trusted = true, int timeoutMs = 1500) {
        HostedClientOptions options;
        if (trusted) {
            options.extraCaCertificates = service_->certificates();
        }
        // Short enough that a stalled transfer ends within the test.
        options.requestTimeoutMs = timeoutMs;
        options.resourceTimeoutMs = std::max(timeoutMs, options.resourceTimeoutMs);
        auto config = HostedServiceConfiguration::create(service_->baseURL());
        return std::make_unique<HostedServiceClient>(*config, store_, options);
    }

    void signIn() { store_->set(HostedCredential{"approved-token", hostedNow() + 3600, true}); }

    // Makes the fake know the stored token (a real sign-in), then approved.
    void signInForReal() {
        ASSERT_TRUE(*begin());
        auto status = poll();
        ASSERT_TRUE(*status);
        ASSERT_EQ(**status, HostedSignInStatus::approved);
    }

    std::optional<Result<HostedSignInChallenge>> begin() {
        return awaitResult<HostedSignInChallenge>([&](auto done) { client_->beginSignIn(done); });
    }
    std::optional<Result<HostedSignInStatus>> poll() {
        return awaitResult<HostedSignInStatus>([&](auto done) { client_->pollSignIn(done); });
    }
    std::optional<Result<HostedAccount>> account() {
        return awaitResult<HostedAccount>([&](auto done) { client_->fetchAccount(done); });
    }
    std::optional<Result<void>> signOut() {
        return awaitResult<void>([&](auto done) { client_->signOut(done); });
    }
    std::optional<Result<HostedCaptureLink>> submit(const std::filesystem::path& dir,
                                                    std::vector<std::string>* progress = nullptr,
                                                    std::string intent = "It froze") {
        return awaitResult<HostedCaptureLink>([&](auto done) {
            client_->submitCapture(
                dir, intent,
                [progress](const std::string& text) {
                    if (progress) {
                        progress->push_back(text);
                    }
                },
                done);
        });
    }

    // Answers requests to `path` with `response` instead of the protocol.
    void answer(const QByteArray& path, FakeHttpResponse response) {
        service_->setOverride(
            [path, response](const FakeHttpRequest& request) -> std::optional<FakeHttpResponse> {
                if (request.path == path) {
                    return response;
                }
                return std::nullopt;
            });
    }

    int requestsTo(const QByteArray& prefix) const {
        int count = 0;
        for (const auto& request : service_->requests()) {
            count += request.path.startsWith(prefix) ? 1 : 0;
        }
        return count;
    }

    std::unique_ptr<FakeHostedService> service_;
    std::shared_ptr<MemoryCredentialStore> store_;
    std::unique_ptr<HostedServiceClient> client_;
};

template <typename T> std::optional<Case> failure(const std::optional<Result<T>>& result) {
    if (!result || *result) {
        return std::nullopt;
    }
    return serviceCase(result->error());
}

nlohmann::json startBody() {
    return {{"deviceToken", "token"},
            {"verificationUrl", "/device"},
            {"pairingCode", "ABCD"},
            {"expiresAt", formatInternetDateTime(hostedNow() + 600)},
            {"pollIntervalSeconds", 5}};
}

} // namespace

TEST_F(HostedServiceClientTest, SignsInReadsTheAccountAndSignsOut) {
    service_->setApproving(false);
    auto challenge = begin();
    ASSERT_TRUE(challenge && *challenge) << (challenge ? challenge->error().description() : "hung");
    EXPECT_EQ((*challenge)->pairingCode, "WXYZ-1234");
    EXPECT_EQ((*challenge)->verificationURL.toString(),
              service_->baseURL() + "/device?code=WXYZ-1234");
    const auto& start = service_->requests().front();
    EXPECT_EQ(start.body, R"({"name":"Snagreel on Linux"})");
    EXPECT_EQ(start.headers.value("content-type"), "application/json");
    EXPECT_EQ(start.headers.value("accept"), "application/json");
    EXPECT_FALSE(start.headers.contains("authorization"));
    ASSERT_TRUE(store_->current());
    EXPECT_FALSE(store_->current()->approved);
    EXPECT_EQ(failure(account()), Case::signInRequired); // not approved yet

    EXPECT_EQ(**poll(), HostedSignInStatus::pending);
    service_->setApproving(true);
    EXPECT_EQ(**poll(), HostedSignInStatus::approved);
    const std::string token = store_->current()->accessToken;
    EXPECT_EQ(service_->requests().back().headers.value("authorization").toStdString(),
              "Bearer " + token);
    auto read = account();
    ASSERT_TRUE(read && *read);
    EXPECT_EQ((*read)->access, "allowed");
    EXPECT_EQ(
        **awaitResult<HostedSignInStatus>([&](auto done) { client_->savedSignInStatus(done); }),
        HostedSignInStatus::approved);

    auto out = signOut();
    ASSERT_TRUE(out && *out);
    EXPECT_FALSE(store_->current());
    EXPECT_TRUE(service_->revokedTokens().contains(token));
}

TEST_F(HostedServiceClientTest, RefusesMalformedSignInAnswersAndStoresNothing) {
    const auto refused = [&](nlohmann::json body) {
        answer("/api/device/start", FakeHttpResponse::json(200, body));
        const auto result = failure(begin());
        EXPECT_FALSE(store_->current());
        return result;
    };
    auto body = startBody();
    for (const int interval : {0, 31}) {
        body["pollIntervalSeconds"] = interval;
        EXPECT_EQ(refused(body), Case::invalidResponse) << interval;
    }
    body = startBody();
    body["pollIntervalSeconds"] = "5";
    EXPECT_EQ(refused(body), Case::invalidResponse);
    body = startBody();
    for (const std::string& token :
         {std::string(513, 'a'), std::string("to ken"), std::string("to\tken"),
          std::string("to\u2028ken"), std::string()}) {
        body["deviceToken"] = token;
        EXPECT_EQ(refused(body), Case::invalidResponse) << token;
    }
    body = startBody();
    body["pairingCode"] = std::string(33, 'C');
    EXPECT_EQ(refused(body), Case::invalidResponse);
    body = startBody();
    body["expiresAt"] = "2030-01-01T00:00:00"; // no zone
    EXPECT_EQ(refused(body), Case::invalidResponse);
    body = startBody();
    body["verificationUrl"] = "https://elsewhere.example.com/device";
    EXPECT_EQ(refused(body), Case::invalidResponse);
    body = startBody();
    body.erase("pairingCode");
    EXPECT_EQ(refused(body), Case::invalidResponse);

    body = startBody();
    body["deviceToken"] = std::string(512, 'a');
    body["pollIntervalSeconds"] = 30;
    answer("/api/device/start", FakeHttpResponse::json(200, body));
    ASSERT_TRUE(*begin());
    EXPECT_EQ(store_->current()->accessToken, std::string(512, 'a'));
}

TEST_F(HostedServiceClientTest, MapsStatusesRedirectsAndOversizedBodies) {
    signIn();
    const auto accountAnswer = [&](FakeHttpResponse response) {
        answer("/api/account", response);
        return account();
    };
    auto result = accountAnswer(FakeHttpResponse::json(503, {{"error", "busy"}}));
    EXPECT_EQ(failure(result), Case::rejected);
    EXPECT_EQ(result->error().description(), "Snagreel could not complete this request (503). Your "
                                             "recording is still on this computer.");
    EXPECT_EQ(failure(accountAnswer(FakeHttpResponse::json(404, {}))), Case::rejected);

    FakeHttpResponse redirect;
    redirect.status = 302;
    redirect.headers = {{"Location", (service_->baseURL() + "/api/elsewhere").toUtf8()}};
    EXPECT_EQ(failure(accountAnswer(redirect)), Case::redirectRejected);
    EXPECT_EQ(requestsTo("/api/elsewhere"), 0);

    FakeHttpResponse big;
    big.body = "{\"access\":\"allowed\"}";
    big.body += QByteArray(2000000 - big.body.size(), ' ');
    EXPECT_TRUE(*accountAnswer(big));
    big.body += ' ';
    EXPECT_EQ(failure(accountAnswer(big)), Case::invalidResponse);
    big.status = 500;
    EXPECT_EQ(failure(accountAnswer(big)), Case::invalidResponse);

    FakeHttpResponse garbage;
    garbage.body = "{not json";
    EXPECT_EQ(failure(accountAnswer(garbage)), Case::invalidResponse);
    EXPECT_EQ(failure(accountAnswer(FakeHttpResponse::json(200, {{"access", "everything"}}))),
              Case::invalidResponse);
    EXPECT_EQ(failure(accountAnswer(FakeHttpResponse::json(200, {{"access", 1}}))),
              Case::invalidResponse);
    EXPECT_EQ(failure(accountAnswer(FakeHttpResponse::json(200, nlohmann::json::array()))),
              Case::invalidResponse);
    EXPECT_TRUE(store_->current()); // none of this touches the sign-in
}

TEST_F(HostedServiceClientTest, TransportFailuresAreServiceUnavailable) {
    signIn();
    FakeHttpResponse stall;
    stall.stall = true;
    answer("/api/account", stall);
    EXPECT_EQ(failure(account()), Case::serviceUnavailable);
    FakeHttpResponse drop;
    drop.drop = true;
    answer("/api/account", drop);
    EXPECT_EQ(failure(account()), Case::serviceUnavailable);

    // A certificate nobody vouches for is refused, not waved through.
    service_->setOverride(nullptr);
    client_ = makeClient(false);
    const int before = requestsTo("/api/account");
    EXPECT_EQ(failure(account()), Case::serviceUnavailable);
    EXPECT_EQ(requestsTo("/api/account"), before);
}

TEST_F(HostedServiceClientTest, A401RemovesOnlyTheCredentialThatWasSent) {
    signInForReal();
    service_->revokeAll();
    EXPECT_EQ(failure(account()), Case::signInRequired);
    EXPECT_FALSE(store_->current());

    // A sign-in that replaced the token while the request was out keeps its own.
    signIn();
    service_->setOverride(
        [this](const FakeHttpRequest& request) -> std::optional<FakeHttpResponse> {
            if (request.path == "/api/account") {
                store_->set(HostedCredential{"newer-token", hostedNow() + 3600, true});
                return FakeHttpResponse::json(401, {});
            }
            return std::nullopt;
        });
    EXPECT_EQ(failure(account()), Case::signInRequired);
    ASSERT_TRUE(store_->current());
    EXPECT_EQ(store_->current()->accessToken, "newer-token");

    // Polling with an expired pairing clears it.
    store_->set(HostedCredential{"old", hostedNow() - 1, false});
    EXPECT_EQ(failure(poll()), Case::pairingExpired);
    EXPECT_FALSE(store_->current());
}

TEST_F(HostedServiceClientTest, SignOutAlwaysLeavesTheMachineSignedOut) {
    signIn();
    FakeHttpResponse drop;
    drop.drop = true;
    answer("/api/device/session", drop);
    auto offline = signOut();
    EXPECT_EQ(failure(offline), Case::revokedLocallyOnly);
    EXPECT_FALSE(store_->current());

    // A damaged keyring item cannot be read, yet it goes.
    store_->set(HostedCredential{"unreadable", hostedNow() + 60, true}, /*failLoads=*/true);
    EXPECT_EQ(failure(signOut()), Case::revokedLocallyOnly);
    EXPECT_FALSE(store_->current());
    auto status =
        awaitResult<HostedSignInStatus>([&](auto done) { client_->savedSignInStatus(done); });
    EXPECT_EQ(**status, HostedSignInStatus::signedOut);
}

TEST_F(HostedServiceClientTest, ASignOutOvertakesAWaitingPoll) {
    signInForReal();
    service_->setOverride([](const FakeHttpRequest& request) -> std::optional<FakeHttpResponse> {
        if (request.path == "/api/device/status") {
            auto held = FakeHttpResponse::json(
                200, {{"status", "approved"},
                      {"expiresAt", formatInternetDateTime(hostedNow() + 3600)}});
            held.hold = true;
            return held;
        }
        return std::nullopt;
    });
    std::optional<Result<HostedSignInStatus>> pollResult;
    client_->pollSignIn([&](Result<HostedSignInStatus> r) { pollResult.emplace(std::move(r)); });
    while (requestsTo("/api/device/status") < 2) {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
    }
    // The executor is free while the poll waits: the sign-out runs meanwhile.
    auto out = signOut();
    ASSERT_TRUE(out && *out);
    service_->releaseHeld();
    while (!pollResult) {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
    }
    ASSERT_FALSE(*pollResult);
    EXPECT_TRUE(pollResult->error().isCancellation());
    EXPECT_FALSE(store_->current()); // the late answer wrote nothing back
}

TEST_F(HostedServiceClientTest, CancellingASubmissionAbandonsTheRequestInFlight) {
    // No time-out would end the request within the test: only the cancel can.
    client_ = makeClient(true, 3600000);
    signInForReal();
    TemporaryDirectory dir;
    const auto capture = dir.path() / "capture";
    ASSERT_FALSE(makeCaptureDirectory(capture).empty());
    FakeHttpResponse held;
    held.hold = true;
    answer("/api/reports", held);
    HostedServiceClient::Call call;
    auto result = awaitResult<HostedCaptureLink>([&](auto done) {
        call = client_->submitCapture(
            capture, "",
            [&call](const std::string& text) {
                if (text.starts_with("Uploading")) {
                    call.cancel();
                }
            },
            done);
    });
    ASSERT_TRUE(result);
    ASSERT_FALSE(*result);
    EXPECT_TRUE(result->error().isCancellation());
    EXPECT_FALSE(std::filesystem::exists(capture / "hosted.json"));
}

TEST_F(HostedServiceClientTest, SubmitsACaptureAndLinksIt) {
    signInForReal();
    TemporaryDirectory dir;
    const auto capture = dir.path() / "capture";
    const std::string captureID = makeCaptureDirectory(capture);
    ASSERT_FALSE(captureID.empty());
    const std::string clipHash = fileSha256(capture / "clip.mp4");

    std::vector<std::string> progress;
    auto link = submit(capture, &progress);
    ASSERT_TRUE(link && *link) << (link ? link->error().description() : "hung");
    EXPECT_EQ(progress,
              (std::vector<std::string>{"Preparing your saved video…",
                                        "Uploading your saved video…", "Writing your report…"}));
    EXPECT_EQ((*link)->captureID, captureID);
    EXPECT_EQ((*link)->status, "queued");
    EXPECT_EQ((*link)->serviceOrigin, service_->baseURL().toStdString());
    ASSERT_EQ(service_->reports().size(), 1u);
    const auto& report = service_->reports().begin()->second;
    EXPECT_EQ(report.submission["manifest"]["captureId"], captureID);
    EXPECT_EQ(report.submission["intent"], "It froze");
    EXPECT_EQ(report.submission["firstFrameIndex"], 0);
    EXPECT_EQ(report.submission["finalFrameIndex"], 29);
    EXPECT_EQ(report.parts.size(), 3u); // and the fake checked every digest on completion

    std::ifstream file(capture / "hosted.json");
    const std::string json((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
    EXPECT_EQ(HostedCaptureLink::fromJson(json), **link);
    EXPECT_EQ(std::filesystem::status(capture / "hosted.json").permissions() &
                  std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_EQ(fileSha256(capture / "clip.mp4"), clipHash);

    auto fetched =
        awaitResult<HostedReportStatus>([&](auto done) { client_->fetchReport(report.id, done); });
    ASSERT_TRUE(fetched && *fetched);
    EXPECT_EQ((*fetched)->status, "ready");
    EXPECT_EQ((*fetched)->title, "What happened on screen");
    EXPECT_FALSE((*fetched)->errorCode);

    // A report page for another id is not this report's page.
    const std::string otherID = uuidString(randomUuid());
    service_->setOverride([&](const FakeHttpRequest& request) -> std::optional<FakeHttpResponse> {
        if (!request.path.startsWith("/api/reports/")) {
            return std::nullopt;
        }
        return FakeHttpResponse::json(200, {{"id", report.id},
                                            {"version", 1},
                                            {"status", "ready"},
                                            {"reportUrl", "/reports/" + otherID}});
    });
    fetched =
        awaitResult<HostedReportStatus>([&](auto done) { client_->fetchReport(report.id, done); });
    EXPECT_EQ(failure(fetched), Case::invalidResponse);
}

TEST_F(HostedServiceClientTest, RefusesCapturesAndGrantsItShouldNotSend) {
    TemporaryDirectory dir;
    const auto capture = dir.path() / "capture";
    ASSERT_FALSE(makeCaptureDirectory(capture).empty());
    const std::string clipHash = fileSha256(capture / "clip.mp4");
    EXPECT_EQ(failure(submit(capture)), Case::signInRequired);
    signInForReal();

    EXPECT_EQ(failure(submit(capture, nullptr, std::string(2001, 'x'))), Case::invalidCapture);
    // The manifest is read as a regular file only, never through a link.
    std::filesystem::rename(capture / "manifest.json", dir.path() / "elsewhere.json");
    std::filesystem::create_symlink(dir.path() / "elsewhere.json", capture / "manifest.json");
    EXPECT_EQ(failure(submit(capture)), Case::invalidCapture);
    std::filesystem::remove(capture / "manifest.json");
    std::ofstream(capture / "manifest.json") << R"({"v":2,"captureId":"not-a-uuid"})";
    EXPECT_EQ(failure(submit(capture)), Case::invalidCapture);
    std::filesystem::copy_file(dir.path() / "elsewhere.json", capture / "manifest.json",
                               std::filesystem::copy_options::overwrite_existing);
    EXPECT_EQ(requestsTo("/api/reports"), 0);

    // Create answers with the given status and grants.
    const auto created = [this](const char* status, nlohmann::json uploads) {
        const std::string id = "6f1c2b8e-1d2a-4c3b-9a8e-0d1f2e3a4b5c";
        answer("/api/reports", FakeHttpResponse::json(200, {{"reportId", id},
                                                            {"reportUrl", "/reports/" + id},
                                                            {"status", status},
                                                            {"uploads", uploads}}));
    };
    const auto grant = [this](const char* kind, std::string url = {}) {
        return nlohmann::json{
            {"kind", kind},
            {"url", url.empty() ? service_->baseURL().toStdString() + "/upload/x" : url},
            {"method", "PUT"},
            {"headers", {{"Content-Type", "video/mp4"}}},
            {"expiresAt", formatInternetDateTime(hostedNow() + 60)}};
    };
    auto extraHeader = grant("video");
    extraHeader["headers"]["x-ms-blob-type"] = "BlockBlob";
    for (const auto& uploads :
         {nlohmann::json::array({grant("video", "https://evil.example.com/upload")}),
          nlohmann::json::array({grant("video"), grant("video")}),
          nlohmann::json::array({grant("audio")}),
          nlohmann::json::array({grant("firstFrame")}), // wrong content type
          nlohmann::json::array({extraHeader})}) {
        created("uploading", uploads);
        EXPECT_EQ(failure(submit(capture)), Case::invalidResponse) << uploads.dump();
    }
    created("ready", nlohmann::json::array({grant("video")}));
    EXPECT_EQ(failure(submit(capture)), Case::invalidResponse);

    // A report that already exists is linked without uploading anything.
    created("ready", nlohmann::json::array());
    auto existing = submit(capture);
    ASSERT_TRUE(existing && *existing);
    EXPECT_EQ((*existing)->status, "ready");
    EXPECT_EQ(requestsTo("/upload/"), 0);
    EXPECT_EQ(fileSha256(capture / "clip.mp4"), clipHash);
}

TEST_F(HostedServiceClientTest, UploadsThatStallOrDropFailAndLeaveTheLinkUploading) {
    signInForReal();
    TemporaryDirectory dir;
    const auto capture = dir.path() / "capture";
    ASSERT_FALSE(makeCaptureDirectory(capture).empty());
    const std::string clipHash = fileSha256(capture / "clip.mp4");
    for (const auto fault :
         {FakeHostedService::UploadFault::stall, FakeHostedService::UploadFault::drop}) {
        service_->setUploadFault(fault);
        EXPECT_EQ(failure(submit(capture)), Case::uploadFailed);
        std::ifstream file(capture / "hosted.json");
        const std::string json((std::istreambuf_iterator<char>(file)),
                               std::istreambuf_iterator<char>());
        ASSERT_TRUE(HostedCaptureLink::fromJson(json));
        EXPECT_EQ(HostedCaptureLink::fromJson(json)->status, "uploading");
    }
    EXPECT_EQ(requestsTo("/api/reports/"), 0); // never completed
    EXPECT_EQ(fileSha256(capture / "clip.mp4"), clipHash);

    // A redirect in answer to an upload is refused and not followed.
    service_->setUploadFault(FakeHostedService::UploadFault::none);
    service_->setOverride(
        [this](const FakeHttpRequest& request) -> std::optional<FakeHttpResponse> {
            if (!request.path.startsWith("/upload/")) {
                return std::nullopt;
            }
            FakeHttpResponse redirect;
            redirect.status = 307;
            redirect.headers = {{"Location", (service_->baseURL() + "/moved").toUtf8()}};
            return redirect;
        });
    EXPECT_EQ(failure(submit(capture)), Case::redirectRejected);
    EXPECT_EQ(requestsTo("/moved"), 0);
}
