#include "platform/serial/eventpump.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

namespace zurid::platform {

namespace {

// While the program waits in ProcessSystemEvents, this timer makes sure the wait for the next
// event ends after a few milliseconds even when nothing happens. It stops itself once the
// program no longer calls ProcessSystemEvents, so an idle program does not wake up.
class Pacer {
  public:
    void Touch() {
        if (timer_ == nullptr) {
            timer_ = new QTimer(QCoreApplication::instance());
            timer_->setTimerType(Qt::PreciseTimer);
            timer_->setInterval(10);
            QObject::connect(timer_, &QTimer::timeout, timer_, [this] {
                if (lastUse_.elapsed() > 250) {
                    timer_->stop();
                }
            });
        }
        lastUse_.start();
        if (!timer_->isActive()) {
            timer_->start();
        }
    }

  private:
    QTimer* timer_ = nullptr;
    QElapsedTimer lastUse_;
};

} // namespace

int ProcessSystemEvents() {
    if (QCoreApplication::instance() == nullptr) {
        return -3;
    }
    static Pacer pacer;
    pacer.Touch();
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    return 0;
}

} // namespace zurid::platform
