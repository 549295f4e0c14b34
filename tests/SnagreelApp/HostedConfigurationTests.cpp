#include "HostedTestSupport.hpp"

#include "SnagreelApp/Hosted/HostedServiceClient.hpp"
#include "SnagreelApp/Hosted/HostedServiceConfiguration.hpp"

#include <gtest/gtest.h>

using namespace snagreel;
using namespace snagreel::app;
using snagreel::testing::serviceCase;
using Case = HostedServiceError::Case;

namespace {

HostedServiceConfiguration configuration(const char* address = "https://reports.example.com") {
    return *HostedServiceConfiguration::create(QString::fromUtf8(address));
}

} // namespace

TEST(HostedConfiguration, NormalisesTheAddressAndRefusesAnythingButABareHttpsOrigin) {
    auto normalised = HostedServiceConfiguration::create("https://Reports.EXAMPLE.com/");
    ASSERT_TRUE(normalised);
    EXPECT_EQ(normalised->origin(), "https://reports.example.com");

    for (const char* bad :
         {"https://reports.example.com/api", "http://reports.example.com",
          "https://user@reports.example.com", "https://reports.example.com?x=1",
          "https://reports.example.com#top", "HTTPS://reports.example.com", "https:///nohost"}) {
        auto refused = HostedServiceConfiguration::create(QString::fromUtf8(bad));
        ASSERT_FALSE(refused) << bad;
        EXPECT_EQ(serviceCase(refused.error()), Case::invalidServiceURL) << bad;
    }
    for (const std::optional<std::string>& missing :
         {std::optional<std::string>(), std::optional<std::string>("")}) {
        auto none = HostedServiceConfiguration::fromBuildSetting(missing);
        ASSERT_FALSE(none);
        EXPECT_EQ(none.error().description(), "This build has no report service configured. Your "
                                              "recording is still on this computer.");
    }
}

TEST(HostedConfiguration, AcceptsOnlyServerAddressesOnItsOwnOrigin) {
    const auto config = configuration();
    EXPECT_EQ(config.sameOriginURL("/reports/x")->toString(),
              "https://reports.example.com/reports/x");
    EXPECT_TRUE(config.sameOriginURL("https://reports.example.com:443/device"));
    EXPECT_TRUE(config.sameOriginURL("https://REPORTS.example.com/device?code=1"));
    for (const char* other : {"https://reports.example.com:8443/x", "https://evil.example.com/x",
                              "http://reports.example.com/x", "https://reports.example.com/x#f",
                              "https://user@reports.example.com/x"}) {
        auto refused = config.sameOriginURL(QString::fromUtf8(other));
        ASSERT_FALSE(refused) << other;
        EXPECT_EQ(serviceCase(refused.error()), Case::invalidResponse) << other;
    }
}

TEST(HostedConfiguration, UploadsGoOnlyToTheProviderOrTheService) {
    const auto config = configuration();
    HostedClientOptions options;
    options.blobApiHost = "api.example.net";
    options.blobDomainSuffix = "blob.example.net";
    const auto accepted = [&](const char* url) {
        return bool(HostedServiceClient::checkUploadURL(config, options, QString::fromUtf8(url)));
    };
    EXPECT_TRUE(accepted("https://api.example.net/api/blob/"));
    EXPECT_FALSE(accepted("https://api.example.net/api/other"));
    EXPECT_FALSE(accepted("https://api.example.net:8443/api/blob/"));
    EXPECT_TRUE(accepted("https://store1.blob.example.net/clip.mp4?sig=abc"));
    EXPECT_TRUE(accepted("https://reports.example.com/upload/1"));
    // A host that merely ends with the suffix is somebody else's domain.
    EXPECT_FALSE(accepted("https://evilblob.example.net/clip.mp4"));
    EXPECT_FALSE(accepted("https://store1.blob.example.net:8443/clip.mp4"));
    EXPECT_FALSE(accepted("http://store1.blob.example.net/clip.mp4"));
    EXPECT_FALSE(accepted("https://user@store1.blob.example.net/clip.mp4"));
}

TEST(HostedConfiguration, ParsesInternetDateTimesStrictly) {
    EXPECT_EQ(parseInternetDateTime("2001-01-01T00:00:00Z"), kReferenceDateOffset);
    EXPECT_EQ(parseInternetDateTime("2001-01-01T00:00:00.250Z"), kReferenceDateOffset + 0.25);
    EXPECT_EQ(parseInternetDateTime("2001-01-01T01:30:00+01:30"), kReferenceDateOffset);
    EXPECT_EQ(parseInternetDateTime("2000-12-31T23:00:00-01:00"), kReferenceDateOffset);
    for (const char* bad : {"2001-01-01T00:00:00", "2001-01-01 00:00:00Z", "2001-02-30T00:00:00Z",
                            "2001-01-01T24:00:00Z", "2001-01-01T00:00:00.Z",
                            "2001-01-01T00:00:00+0100", "2001-01-01T00:00:00Zjunk", ""}) {
        EXPECT_FALSE(parseInternetDateTime(bad)) << bad;
    }
    const double now = hostedNow();
    EXPECT_NEAR(*parseInternetDateTime(formatInternetDateTime(now)), now, 0.001);
}

TEST(HostedConfiguration, CredentialJsonCountsFrom2001AndRejectsWrongTypes) {
    const HostedCredential credential{"token-1", kReferenceDateOffset + 1234.5678, true};
    const std::string json = credential.toJson();
    EXPECT_NE(json.find("\"expiresAt\":1234.5678"), std::string::npos) << json;
    EXPECT_EQ(HostedCredential::fromJson(json), credential);
    EXPECT_FALSE(HostedCredential::fromJson(R"({"accessToken":"t","expiresAt":1})"));
    EXPECT_FALSE(
        HostedCredential::fromJson(R"({"accessToken":"t","expiresAt":"1","approved":true})"));
    EXPECT_FALSE(HostedCredential::fromJson(R"({"accessToken":"t","expiresAt":1,"approved":1})"));
}
