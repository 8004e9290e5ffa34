#include "sensors/change.h"

#include "sensors/paramtext.h"

#include <memory>
#include <string_view>

namespace zurid::sensors {

namespace {

struct Run {
    PortSession& session;
    Memory memory;
    std::vector<core::Assignment> items;
    std::function<void(const BlockChange&)> done;
    bool readBack = true;
    BlockChange result;

    void finish(BlockChange::Outcome outcome, const QString& message = {}) {
        result.outcome = outcome;
        result.message = message;
        done(result);
    }
    // False (and finished) when the transaction failed.
    bool good(const TransactionResult& r, const char* what) {
        if (r.ok && (r.bytes.isEmpty() || ToBlock(r.bytes))) {
            return true;
        }
        result.timedOut = r.bytes.isEmpty() && !r.ok;
        // Before the write, say that the sensor is as it was.
        const bool reading = std::string_view(what) == "read";
        finish(BlockChange::Outcome::Failed,
               QStringLiteral("%1 %2: %3%4")
                   .arg(QLatin1String(MemoryName(memory)), QLatin1String(what), r.error,
                        reading ? QStringLiteral("; nothing written") : QString()));
        return false;
    }
};

void Start(const std::shared_ptr<Run>& run) {
    run->session.readParamsTwice(run->memory, [run](const TransactionResult& read) {
        if (read.unsteady) {
            run->finish(BlockChange::Outcome::Unsteady, read.error);
            return;
        }
        if (!run->good(read, "read")) {
            return;
        }
        run->result.before = *ToBlock(read.bytes);
        const core::AssignedBlock assigned = core::ApplyAssignments(run->items, run->result.before);
        run->result.after = assigned.block;
        if (!assigned.ok) {
            run->finish(BlockChange::Outcome::Refused, QString::fromStdString(assigned.reason) +
                                                           QStringLiteral("; nothing written"));
            return;
        }
        if (run->result.after == run->result.before) {
            run->finish(BlockChange::Outcome::Unchanged);
            return;
        }
        run->session.writeParams(run->memory, run->result.after, [run](const TransactionResult& w) {
            if (!run->good(w, "write")) {
                return;
            }
            if (!run->readBack) {
                run->finish(BlockChange::Outcome::Written);
                return;
            }
            run->session.readParams(run->memory, [run](const TransactionResult& back) {
                if (!run->good(back, "read-back")) {
                    return;
                }
                const core::ParamBlock held = *ToBlock(back.bytes);
                if (held != run->result.after) {
                    const core::ParamBlock wanted = run->result.after;
                    run->result.after = held;
                    run->finish(BlockChange::Outcome::NotKept,
                                QStringLiteral("the sensor holds something else than was "
                                               "written: %1")
                                    .arg(DiffLines(wanted, held).join(QStringLiteral("; "))));
                    return;
                }
                run->finish(BlockChange::Outcome::Written);
            });
        });
    });
}

} // namespace

void ChangeBlock(PortSession& session, Memory m, std::vector<core::Assignment> items,
                 std::function<void(const BlockChange&)> done, bool readBack) {
    Start(std::make_shared<Run>(Run{session, m, std::move(items), std::move(done), readBack, {}}));
}

} // namespace zurid::sensors
