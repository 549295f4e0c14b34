#include "SnagreelApp/EngineOutput.hpp"
#include "SnagreelApp/QtMainExecutor.hpp"

#include <QTest>

#include <gtest/gtest.h>

#include <thread>

using namespace snagreel::app;

TEST(QtMainExecutor, RunsPostsInOrderOnTheMainThreadAndHonoursCancelledTimers) {
    QObject context;
    QtMainExecutor executor(&context);
    std::vector<int> order;
    bool onMain = true;
    std::thread other([&] {
        for (int i = 0; i < 3; ++i) {
            executor.post([&, i] {
                onMain = onMain && executor.isCurrent();
                order.push_back(i);
            });
        }
    });
    other.join();
    int periodic = 0;
    bool cancelledFired = false;
    auto repeating = executor.schedule(0.001, 0.001, [&] { ++periodic; });
    auto cancelled = executor.schedule(0.01, 0, [&] { cancelledFired = true; });
    cancelled.cancel();
    ASSERT_TRUE(QTest::qWaitFor([&] { return periodic >= 3 && order.size() == 3; }, 5000));
    repeating.cancel();
    const int stoppedAt = periodic;
    QTest::qWait(50);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    EXPECT_TRUE(onMain);
    EXPECT_FALSE(cancelledFired);
    EXPECT_EQ(periodic, stoppedAt);
    bool currentElsewhere = true;
    std::thread([&] { currentElsewhere = executor.isCurrent(); }).join();
    EXPECT_FALSE(currentElsewhere);
}

TEST(EngineOutputLines, SplitsOnEitherLineEndAndKeepsCharactersWhole) {
    EngineOutputLines lines;
    EXPECT_EQ(lines.append("Loading mo"), std::nullopt);
    EXPECT_EQ(lines.append("del\r 10%\r 20%"), QStringLiteral(" 10%"));
    // "é" split between two chunks, then an invalid byte.
    EXPECT_EQ(lines.append("\ncaf\xC3"), QStringLiteral(" 20%"));
    EXPECT_EQ(lines.append("\xA9 \xFF ok\n"), QStringLiteral("café \uFFFD ok"));
    EXPECT_EQ(lines.append("\n\r\n"), QStringLiteral("Processing…"));
    EXPECT_EQ(lines.append("no newline at the end"), std::nullopt);
    EXPECT_EQ(lines.finish(), QStringLiteral("no newline at the end"));
    EXPECT_EQ(lines.finish(), std::nullopt);

    // A line with no end cannot grow without bound, and its kept tail starts on a
    // character boundary.
    std::string huge;
    for (int i = 0; i < 40000; ++i) {
        huge += "\xC3\xA9";
    }
    lines.append(huge);
    const QString tail = *lines.finish();
    EXPECT_FALSE(tail.contains(QChar(0xFFFD)));
    EXPECT_LE(tail.size(), qsizetype(EngineOutputLines::kMaximumPending));

    const QString emoji = QString(400, QLatin1Char('a')) + QStringLiteral("😀");
    EXPECT_EQ(lastCharacters(emoji, 300), QString(299, QLatin1Char('a')) + QStringLiteral("😀"));
}
