// The toolkit's start-up and event loop.
#include "platform/ui/ui_internal.h"
#include "platform/ui/userint.h"

#include <QApplication>
#include <QEventLoop>
#include <QStyleFactory>

namespace {

bool g_quitRequested = false;
int g_quitCode = 0;
QEventLoop* g_mainLoop = nullptr;

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
