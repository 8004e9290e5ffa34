// zurid: the sensor from the command line. One thread, one asynchronous session per port.
#include "cli/cli.h"
#include "cli/commands.h"

#include <QCoreApplication>

namespace {

using namespace zurid::cli;

QString Overview() {
    QString text = QStringLiteral(
        "Usage: zurid COMMAND [OPTIONS] [ARGUMENTS]\n"
        "Reads, writes and watches the optical contrast and edge-detection sensor on RS-232\n"
        "(4800 baud 8N1), as the TAVRIN-Zurid window does, without a window.\n"
        "\n"
        "Commands:\n");
    for (const Command& c : Commands()) {
        text += QStringLiteral("  %1  %2\n")
                    .arg(QLatin1String(c.name), -7)
                    .arg(QLatin1String(c.summary));
    }
    text += QStringLiteral(
        "\n"
        "A PORT is COMn or n, numbered as the window numbers them (first the device paths in\n"
        "ZURID_PORTS, colon-separated, then the system's serial ports in name order), or a\n"
        "device path such as /dev/ttyUSB0.\n"
        "\n"
        "Data goes to stdout, messages to stderr. Exit status: 0 success; 1 a sensor, a port\n"
        "(missing, busy or not permitted), a file or stdout failed; 2 bad usage (nothing was\n"
        "sent to a sensor or written to a file). diff keeps diff's own: 1 means different.\n"
        "\n"
        "Options:\n"
        "  -h, --help     Show this help and exit.\n"
        "  -v, --version  Show the version and exit.\n"
        "\n"
        "Run 'zurid help COMMAND' or 'zurid COMMAND --help' for the arguments and options of a\n"
        "command.\n");
    return text;
}

int Run(const QStringList& args) {
    const QString first = args.value(0);
    if (first.isEmpty()) {
        Message(QStringLiteral("which command? (see 'zurid --help')"));
        return kExitUsage;
    }
    if (first == QLatin1String("-h") || first == QLatin1String("--help") ||
        (first == QLatin1String("help") && args.size() == 1)) {
        Out(Overview());
        return kExitOk;
    }
    if (first == QLatin1String("-v") || first == QLatin1String("--version")) {
        Out(QStringLiteral("zurid (TAVRIN-Zurid) %1\n").arg(QLatin1String(ZURID_VERSION)));
        return kExitOk;
    }
    if (first == QLatin1String("help")) {
        // help CMD is CMD --help.
        if (args.size() > 2) {
            Message(QStringLiteral("help: one command at a time (see 'zurid --help')"));
            return kExitUsage;
        }
        return Run({args.at(1), QStringLiteral("--help")});
    }
    const Command* command = FindCommand(first);
    if (command == nullptr) {
        Message(QStringLiteral("unknown command '%1' (see 'zurid --help')").arg(first));
        return kExitUsage;
    }
    return command->run(args);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zurid"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ZURID_VERSION));
    const int status = Run(QCoreApplication::arguments().mid(1));
    // What a command printed and could not deliver is a failure, whatever else went well.
    return status == kExitOk && StdoutFailed() ? kExitFailed : status;
}
