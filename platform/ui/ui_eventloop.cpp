// The toolkit's start-up and event loop.
#include "platform/ui/ui_internal.h"
#include "platform/ui/userint.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QStyleFactory>
#include <QTimer>

namespace {

bool g_quitRequested = false;
int g_quitCode = 0;
QEventLoop* g_mainLoop = nullptr;

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

int InitToolkit(int& argc, char** argv) {
    if (QApplication::instance() == nullptr) {
        if (!ui::StartApplication(argc, argv)) {
            return 0;
        }
    }
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
        return 0;
    }
    QApplication::setApplicationName(QStringLiteral("tavrin-zurid"));
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QApplication::setQuitOnLastWindowClosed(false);
    return 1;
}

int RunUserInterface() {
    if (QCoreApplication::instance() == nullptr) {
        return ui::kErrToolkit;
    }
    if (!g_quitRequested) {
        // A loop of our own: QuitUserInterface ends exactly this loop, also when it is called
        // from a callback nested deeper (the loop returns once control comes back to it).
        QEventLoop loop;
        g_mainLoop = &loop;
        loop.exec();
        g_mainLoop = nullptr;
    }
    g_quitRequested = false;
    return g_quitCode;
}

int QuitUserInterface(int returnCode) {
    g_quitRequested = true;
    g_quitCode = returnCode;
    if (g_mainLoop != nullptr) {
        g_mainLoop->exit(returnCode);
    }
    return 0;
}

int ProcessSystemEvents() {
    if (QCoreApplication::instance() == nullptr) {
        return ui::kErrToolkit;
    }
    static Pacer pacer;
    pacer.Touch();
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    return 0;
}
