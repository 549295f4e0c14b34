#include "SnagreelApp/QtMainExecutor.hpp"

#include "SnagreelCore/Support/Clock.hpp"

#include <QThread>
#include <QTimer>

#include <cmath>

namespace snagreel::app {

namespace {

int milliseconds(double seconds) {
    if (!(seconds > 0)) {
        return 0;
    }
    return static_cast<int>(std::min(std::ceil(seconds * 1000.0), 2.0e9));
}

} // namespace

QtMainExecutor::QtMainExecutor(QObject* context) : context_(context) {}

void QtMainExecutor::post(std::function<void()> task) {
    QObject* context = context_.data();
    if (context == nullptr) {
        return;
    }
    QMetaObject::invokeMethod(context, std::move(task), Qt::QueuedConnection);
}

TimerHandle QtMainExecutor::schedule(double delay, double period, std::function<void()> task) {
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    if (isCurrent()) {
        startTimer(delay, period, std::move(task), cancelled);
    } else {
        post([this, delay, period, task = std::move(task), cancelled]() mutable {
            startTimer(delay, period, std::move(task), cancelled);
        });
    }
    return TimerHandle(cancelled);
}

void QtMainExecutor::startTimer(double delay, double period, std::function<void()> task,
                                std::shared_ptr<std::atomic<bool>> cancelled) {
    QObject* context = context_.data();
    if (context == nullptr || cancelled->load()) {
        return;
    }
    auto* timer = new QTimer(context);
    timer->setTimerType(Qt::PreciseTimer);
    timer->setSingleShot(true);
    timer->setInterval(milliseconds(delay));
    const int periodMs = period > 0 ? std::max(1, milliseconds(period)) : -1;
    QObject::connect(timer, &QTimer::timeout, context,
                     [timer, periodMs, task = std::move(task), cancelled] {
                         if (cancelled->load()) {
                             timer->deleteLater();
                             return;
                         }
                         if (periodMs < 0) {
                             timer->deleteLater();
                         } else {
                             timer->setInterval(periodMs);
                             timer->start();
                         }
                         task();
                     });
    timer->start();
}

bool QtMainExecutor::isCurrent() const {
    QObject* context = context_.data();
    return context != nullptr && QThread::currentThread() == context->thread();
}

double QtMainExecutor::now() const {
    return monotonicSeconds();
}

} // namespace snagreel::app
