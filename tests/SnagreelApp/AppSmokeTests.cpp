#include <QApplication>

#include <gtest/gtest.h>

TEST(AppModule, RunsInsideOneApplication) {
    EXPECT_NE(QApplication::instance(), nullptr);
}
