// The keyring store against a real Secret Service: gnome-keyring on a session bus
// of the test's own, unlocked with a password (an empty one fails without a
// display). The daemon and its bus serve the whole test process, because
// libsecret binds to the first session bus it meets.
#include "HostedTestSupport.hpp"

#include "SnagreelCore/Support/Uuid.hpp"

#include "SecretServiceSession.hpp"
#include "SnagreelApp/Hosted/HostedKeyringStore.hpp"
#include "support/PrivateBus.hpp"
#include "support/TemporaryDirectory.hpp"

#undef signals
#include <libsecret/secret.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sys/wait.h>
#include <unistd.h>

using namespace snagreel;
using namespace snagreel::app;
using namespace snagreel::testing;

namespace {

constexpr const char* kChildVariable = "SNAGREEL_TEST_WITHOUT_SECRET_SERVICE";

class HostedKeyringStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string whyNot;
        // CI installs gnome-keyring (scripts/install-deps): a missing daemon fails.
        ASSERT_NE(SecretServiceSession::shared(whyNot), nullptr) << whyNot;
        origin_ = "https://" + uuidString(randomUuid()) + ".example.com";
    }
    std::string origin_;
};

// How many items the origin has in the keyring, asked of the Secret Service
// directly.
std::size_t itemCount(const std::string& origin) {
    using Attributes = QMap<QString, QString>;
    qDBusRegisterMetaType<Attributes>();
    auto bus =
        QDBusConnection::connectToBus(QString::fromLocal8Bit(qgetenv("DBUS_SESSION_BUS_ADDRESS")),
                                      QStringLiteral("keyring-count"));
    auto call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.secrets"), QStringLiteral("/org/freedesktop/secrets"),
        QStringLiteral("org.freedesktop.Secret.Service"), QStringLiteral("SearchItems"));
    call << QVariant::fromValue(Attributes{{"service", HostedKeyringStore::kServiceLabel},
                                           {"account", QString::fromStdString(origin)}});
    const QDBusReply<QList<QDBusObjectPath>> unlocked = bus.call(call);
    EXPECT_TRUE(unlocked.isValid()) << unlocked.error().message().toStdString();
    return unlocked.isValid() ? static_cast<std::size_t>(unlocked.value().size()) : 0;
}

} // namespace

TEST_F(HostedKeyringStoreTest, KeepsOneCredentialPerOriginAndRoundTripsIt) {
    HostedKeyringStore store(origin_);
    HostedKeyringStore otherService("https://other.example.com");
    auto empty = store.load();
    ASSERT_TRUE(empty) << empty.error().description();
    EXPECT_FALSE(*empty);
    EXPECT_TRUE(store.remove());

    const HostedCredential pending{"device-token", hostedNow() + 600.123456789, false};
    const HostedCredential approved{"device-token", hostedNow() + 3600.5, true};
    ASSERT_TRUE(store.save(pending));
    ASSERT_TRUE(store.save(approved));
    EXPECT_EQ(itemCount(origin_), 1u);
    auto loaded = store.load();
    ASSERT_TRUE(loaded && *loaded);
    EXPECT_EQ(**loaded, approved);
    EXPECT_FALSE(*otherService.load());

    ASSERT_TRUE(store.remove());
    EXPECT_FALSE(*store.load());
    EXPECT_EQ(itemCount(origin_), 0u);
}

TEST_F(HostedKeyringStoreTest, AnItemThatIsNotACredentialIsAKeyringErrorWithoutTheSecret) {
    HostedKeyringStore store(origin_);
    ASSERT_TRUE(store.save({"secret-token-text", hostedNow() + 60, true}));
    const SecretSchema schema = {HostedKeyringStore::kServiceLabel,
                                 SECRET_SCHEMA_NONE,
                                 {{"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                  {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                  {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
                                 0,
                                 nullptr,
                                 nullptr,
                                 nullptr,
                                 nullptr,
                                 nullptr,
                                 nullptr,
                                 nullptr};
    ASSERT_TRUE(secret_password_store_sync(&schema, SECRET_COLLECTION_DEFAULT, "damaged",
                                           "{\"accessToken\":\"secret-token-text\"}", nullptr,
                                           nullptr, "service", HostedKeyringStore::kServiceLabel,
                                           "account", origin_.c_str(), nullptr));
    auto loaded = store.load();
    ASSERT_FALSE(loaded);
    EXPECT_EQ(
        loaded.error().description(),
        "Snagreel could not access its saved sign-in in the keyring (-26275). Your recording is "
        "still on this computer.");
    EXPECT_TRUE(store.remove());
}

// Runs in a child process whose session bus has no Secret Service.
TEST(HostedKeyringStore, WithoutASecretServiceEveryCallIsAClearError) {
    if (std::getenv(kChildVariable) != nullptr) {
        HostedKeyringStore store("https://reports.example.com");
        auto loaded = store.load();
        auto saved = store.save({"token", hostedNow() + 60, true});
        ASSERT_FALSE(loaded);
        ASSERT_FALSE(saved);
        EXPECT_EQ(loaded.error().domain(), kHostedKeyringErrorDomain);
        EXPECT_NE(saved.error().description().find("in the keyring ("), std::string::npos);
        EXPECT_EQ(saved.error().description().find("token"), std::string::npos);
        return;
    }
    std::string whyNot;
    auto bus = PrivateBus::start(&whyNot);
    ASSERT_TRUE(bus) << whyNot;
    TemporaryDirectory home("snagreel-no-keyring");
    const std::string command =
        std::string(kChildVariable) + "=1 HOME='" + home.path().string() + "' XDG_RUNTIME_DIR='" +
        home.path().string() + "' DBUS_SESSION_BUS_ADDRESS='" + bus->address() + "' /proc/" +
        std::to_string(::getpid()) +
        "/exe --gtest_filter=HostedKeyringStore.WithoutASecretService* > '" +
        (home.path() / "out.txt").string() + "' 2>&1";
    const int status = std::system(command.c_str());
    std::ifstream in(home.path() / "out.txt");
    const std::string output((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
    // Nothing was written beside the keyring instead.
    EXPECT_FALSE(std::filesystem::exists(home.path() / ".local"));
}
