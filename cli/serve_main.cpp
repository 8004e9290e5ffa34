// zurid-serve: `zurid serve`, which zurid execs with the arguments after "serve".
#include "cli/cli.h"
#include "cli/commands.h"
#include "platform/serial/epoll_loop.h"

#include <QCoreApplication>

int main(int argc, char** argv) {
    // Its ports and sockets in one epoll set: a turn of the loop costs what is ready, not what
    // is open (thirty-two terminals asked on every turn cost more than the replies).
    zurid::platform::UseEpollEventLoop();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zurid"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ZURID_VERSION));
    using namespace zurid::cli;
    const int status =
        RunServe(QStringList{QStringLiteral("serve")} + QCoreApplication::arguments().mid(1));
    return status == kExitOk && StdoutFailed() ? kExitFailed : status;
}
