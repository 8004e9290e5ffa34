// Drift from the line's reference: a backup in the backups folder (serve --reference NAME)
// holds the set each sensor should have. Every period serve reads each sensor's RAM and EEPROM
// as the port's client work, between live-data cycles, and compares them with the reference's
// entry for the sensor (found as verify jobs find it: by where it sits). A difference turns the
// sensor's drift on, naming the parameters; one this server made does not: serve remembers,
// for each memory, the bytes its own writes changed (a change by PATCH or MQTT: the bytes it
// changed; a restore: the whole block) and a difference where the sensor still holds what serve
// wrote is made here. Once the sensor holds something else there, that memory's byte is judged
// against the reference again. What serve wrote is remembered while it runs.
#pragma once

#include "sensors/manifest.h"
#include "sensors/result.h"
#include "serve/line.h"

#include <QDateTime>
#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>

#include <array>
#include <functional>
#include <map>

namespace zurid::serve {

class Drift : public QObject {
  public:
    explicit Drift(Line& line, QObject* parent = nullptr);

    // The backup `name` in `folder` as the reference, read strictly (every set's files as its
    // manifest names them); why not, naming the backup and the reason.
    sensors::Status load(const QString& folder, const QString& name);
    bool active() const { return !dir_.isEmpty(); }
    const QString& name() const { return name_; }

    // Reads every working sensor with a set in the reference every `periodMs`.
    void start(qint64 periodMs);
    void stop();

    // The port's blocks as the line knows them against its reference set (nothing while
    // another change is under way: its write is told by wrote()).
    void check(LinePort& p);
    // This server wrote `after` (before: what the sensor held; none: all of it is ours).
    void wrote(LinePort& p, Memory m, const std::optional<core::ParamBlock>& before,
               const core::ParamBlock& after);
    // Reads both memories as the port's client work, then judges them; `done` with the reads'
    // failure or nothing.
    void verify(LinePort& p, std::function<void(const std::optional<Answer>&)> done);
    // Makes the port's blocks as last read its set in the reference backup. Empty when done,
    // else why not.
    sensors::Status accept(LinePort& p);
    // The port's set in the reference; nullptr when it has none.
    const sensors::ManifestEntry* entryOf(const LinePort& p) const;

    // The port's drift was turned on or off, or its differences changed.
    std::function<void(LinePort&)> changed;
    // Drift found in a memory (a new set of bytes that differ, not made here).
    std::function<void(LinePort&, Memory, const core::ParamBlock& reference,
                       const core::ParamBlock& sensor)>
        found;

  private:
    struct State {
        std::array<std::map<int, core::Byte>, 2> madeHere;   // position -> what serve wrote
        std::array<std::optional<core::ParamBlock>, 2> told; // the sensor's block last found
    };
    void judge(LinePort& p);
    // Reads the reference again when its manifest has changed (a backup made again under its
    // name); one that cannot be read leaves the reference as it was.
    void reread();

    Line& line_;
    QString dir_, name_;
    sensors::Manifest reference_;
    QDateTime modified_; // the reference's manifest as read
    QHash<const LinePort*, State> state_;
    QTimer timer_;
};

} // namespace zurid::serve
