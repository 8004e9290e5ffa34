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
        "Data goes to stdout, messages to stderr. Exit status: 0 success, 1 the sensor or a file\n"
        "failed, 2 bad usage (nothing was sent to a sensor or written to a file).\n"
        "\n"
        "Options:\n"
        "  -h, --help     Show this help and exit.\n"
        "  -v, --version  Show the version and exit.\n"
        "\n"
        "Run 'zurid COMMAND --help' for the arguments and options of a command.\n");
    return text;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zurid"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ZURID_VERSION));
    const QStringList args = QCoreApplication::arguments().mid(1);
    const QString first = args.value(0);
    if (first.isEmpty()) {
        Message(QStringLiteral("which command? (see 'zurid --help')"));
        return kExitUsage;
    }
    if (first == QLatin1String("-h") || first == QLatin1String("--help") ||
        first == QLatin1String("help")) {
        Out(Overview());
        return kExitOk;
    }
    if (first == QLatin1String("-v") || first == QLatin1String("--version")) {
        Out(QStringLiteral("zurid (TAVRIN-Zurid) %1\n").arg(QLatin1String(ZURID_VERSION)));
        return kExitOk;
    }
    const Command* command = FindCommand(first);
    if (command == nullptr) {
        Message(QStringLiteral("unknown command '%1' (see 'zurid --help')").arg(first));
        return kExitUsage;
    }
    return command->run(args);
}
