// zurid buffer: the sensor's jump buffer (the NORM minimum after each of the last 16 edges) and
// the THRESHOLD it is compared with.
#include "cli/cli.h"
#include "cli/commands.h"
#include "core/params.h"

#include <QJsonArray>
#include <QJsonObject>

namespace zurid::cli {

int RunBuffer(const QStringList& args) {
    QCommandLineParser parser;
    parser.addOption({QStringLiteral("json"), QStringLiteral("Print JSON instead of a table.")});
    const QString details = QStringLiteral(
        "Reads the THRESHOLD from the sensor's RAM (order 3, after the 0.1 s settle delay),\n"
        "then the 16 values of the jump buffer (order 6): the minimum NORM after each of the\n"
        "last edges, on the NORM scale 0-255, in the order the sensor sends them. Values below\n"
        "the THRESHOLD are marked.");
    if (const auto done = ParseCommand(parser, args, details, 1, 1)) {
        return *done;
    }
    const OpenedPort opened = OpenPort(parser.positionalArguments().constFirst());
    if (!opened.session) {
        return opened.status;
    }
    PortSession* session = opened.session.get();
    const PortRef& port = opened.ref;
    const bool json = parser.isSet(QStringLiteral("json"));
    const int thresholdPos = core::FindParam("THRESHOLD")->pos;
    session->readParams(Memory::Ram, [&](const TransactionResult& params) {
        if (!params.ok()) {
            Message(QStringLiteral("%1 RAM: read failed: %2").arg(port.label, params.error));
            Finish(kExitFailed);
            return;
        }
        const int threshold = static_cast<unsigned char>(params.bytes.at(thresholdPos));
        session->readJumpBuffer(0, [&port, json, threshold](const TransactionResult& r) {
            if (!r.ok()) {
                Message(QStringLiteral("%1: jump buffer read failed: %2").arg(port.label, r.error));
                Finish(kExitFailed);
                return;
            }
            if (json) {
                QJsonArray values;
                for (const char b : r.bytes) {
                    values.append(static_cast<unsigned char>(b));
                }
                const QJsonObject o{{QStringLiteral("port"), port.label},
                                    {QStringLiteral("device"), port.device},
                                    {QStringLiteral("threshold"), threshold},
                                    {QStringLiteral("values"), values}};
                OutJson(o);
            } else {
                QString out = QStringLiteral("THRESHOLD %1\n  #  NORM\n").arg(threshold);
                for (qsizetype i = 0; i < r.bytes.size(); ++i) {
                    const int v = static_cast<unsigned char>(r.bytes.at(i));
                    out +=
                        QStringLiteral("%1  %2%3\n")
                            .arg(i + 1, 3)
                            .arg(v, 4)
                            .arg(v < threshold ? QStringLiteral("  below THRESHOLD") : QString());
                }
                Out(out);
            }
            Finish(kExitOk);
        });
    });
    return RunLoop();
}

} // namespace zurid::cli
