#pragma once

#include "SnagreelCore/Support/Executor.hpp"

#include <QObject>
#include <QPointer>

namespace snagreel::app {

// The main thread as a serial executor: tasks are queued invocations on Qt's event
// loop and timers are QTimers, so the controller runs here exactly as tests run it
// on a manual executor. Posting and scheduling are safe from any thread.
class QtMainExecutor final : public Executor {
public:
    // `context` lives on the main thread; tasks posted after it is gone are dropped.
    explicit QtMainExecutor(QObject* context);

    void post(std::function<void()> task) override;
    TimerHandle schedule(double delay, double period, std::function<void()> task) override;
    bool isCurrent() const override;
    double now() const override;

private:
    void startTimer(double delay, double period, std::function<void()> task,
                    std::shared_ptr<std::atomic<bool>> cancelled);

    QPointer<QObject> context_;
};

} // namespace snagreel::app
