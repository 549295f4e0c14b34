#include "SnagreelApp/SingleInstance.hpp"

#include "support/PrivateBus.hpp"

#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <future>

using namespace snagreel::app;

TEST(SingleInstance, FirstLaunchKeepsTheNameAndAnswersLaterOnes) {
    std::string whyNot;
    auto bus = snagreel::testing::PrivateBus::start(&whyNot);
    if (!bus) {
        GTEST_SKIP() << whyNot;
    }
    const QString address = QString::fromStdString(bus->address());
    QDBusConnection first = QDBusConnection::connectToBus(address, QStringLiteral("first"));
    QDBusConnection second = QDBusConnection::connectToBus(address, QStringLiteral("second"));
    ASSERT_TRUE(first.isConnected() && second.isConnected());

    EXPECT_EQ(requestSave(second, std::nullopt, true).exitStatus, 3); // nobody runs yet

    int shown = 0;
    std::vector<std::pair<std::optional<double>, bool>> asked;
    InstanceHandlers handlers;
    handlers.showWindow = [&] { ++shown; };
    handlers.saveClip = [&](std::optional<double> seconds, bool writeReport, auto reply) {
        asked.emplace_back(seconds, writeReport);
        // Answered later, as a real save is.
        QTimer::singleShot(20, [reply, seconds] {
            if (seconds) {
                reply(true, QStringLiteral("/captures/abc/clip.mp4"));
            } else {
                reply(false, QStringLiteral("A clip is already being saved."));
            }
        });
    };
    InstanceService running(first, handlers);
    ASSERT_TRUE(running.claim());
    InstanceService later(second, {});
    EXPECT_FALSE(later.claim());

    // The later launch blocks in its call, so it runs beside this event loop.
    auto ask = [&](auto call) {
        auto future = std::async(std::launch::async, call);
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
            10000));
        return future.get();
    };
    EXPECT_TRUE(ask([&] { return requestShowWindow(second); }));
    EXPECT_EQ(shown, 1);
    const auto saved = ask([&] { return requestSave(second, 60.0, false); });
    EXPECT_EQ(saved.exitStatus, 0);
    EXPECT_EQ(saved.line, QStringLiteral("/captures/abc/clip.mp4"));
    const auto refused = ask([&] { return requestSave(second, std::nullopt, true); });
    EXPECT_EQ(refused.exitStatus, 1);
    EXPECT_EQ(refused.line, QStringLiteral("A clip is already being saved."));
    const auto odd = ask([&] { return requestSave(second, 45.0, true); });
    EXPECT_EQ(odd.exitStatus, 1);
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[0], std::make_pair(std::optional<double>(60.0), false));
    EXPECT_EQ(asked[1], std::make_pair(std::optional<double>(), true));
    QDBusConnection::disconnectFromBus(QStringLiteral("first"));
    QDBusConnection::disconnectFromBus(QStringLiteral("second"));
}
