#include "sensors/write.h"

#include "platform/serial/journal.h"
#include "sensors/paramtext.h"

#include <QTimer>

#include <memory>

namespace zurid::sensors {

namespace {

platform::JournalEntry Entry(const WriteOrigin& o, Memory m) {
    platform::JournalEntry e(o.event, o.channel, o.who);
    if (!o.address.isEmpty()) {
        e.address(o.address);
    }
    e.sensor(o.sensor, o.location)
        .memory(m == Memory::Ram ? platform::JournalMemory::Ram : platform::JournalMemory::Eeprom)
        .reason(o.reason);
    return e;
}

struct Run {
    PortSession& session;
    BlockWrite what;
    WriteDone done;
    WriteResult result;
    bool unrecorded = false; // the journal refused the attempt

    void finish(WriteResult::State state) {
        result.state = state;
        // A write that ended before the sensor was written (a failed read, a refused value,
        // nothing to change) is its attempt and its outcome at once.
        if (what.origin && !unrecorded) {
            const QString refused = result.attemptSeq > 0 ? QString() : attempt();
            if (refused.isEmpty()) {
                record();
            } else {
                result.notRecorded = refused;
            }
        }
        done(result);
    }
    // The attempt's record, pending, with the bytes about to be written (and those held, when
    // read); else why the journal does not take it (then nothing may be written).
    QString attempt() {
        platform::JournalEntry e = Entry(*what.origin, what.memory);
        if (result.before) {
            e.bytes(*result.before, result.wanted);
        } else if (what.block) {
            e.after(result.wanted);
        }
        e.outcome(platform::JournalOutcome::Pending);
        const platform::JournalAppend added =
            platform::AppendJournal(what.origin->journal, e.members());
        result.attemptSeq = added.seq;
        return added.error;
    }
    // The outcome's record: what the sensor held before and holds now, as far as known.
    void record() {
        using platform::JournalOutcome;
        platform::JournalEntry e = Entry(*what.origin, what.memory);
        e.attempt(result.attemptSeq);
        if (result.before) {
            e.bytes(*result.before, result.touched() ? result.after : *result.before);
        } else if (result.touched()) {
            e.after(result.after);
        }
        if (result.state == WriteResult::State::Written) {
            e.outcome(what.readBack ? JournalOutcome::Written : JournalOutcome::Sent);
        } else if (result.state == WriteResult::State::Unchanged) {
            e.outcome(JournalOutcome::Unchanged);
        } else {
            e.error(result.error.kind == ErrorKind::Refused ? JournalOutcome::Refused
                                                            : JournalOutcome::Failed,
                    KindCode(result.error.kind), result.error.message);
        }
        const platform::JournalAppend added =
            platform::AppendJournal(what.origin->journal, e.members());
        result.notRecorded = added.error;
    }
    void fail(WriteResult::Stage stage, ErrorKind kind, QString message) {
        result.stage = stage;
        result.error = {kind, std::move(message)};
        finish(WriteResult::State::Failed);
    }
    // False (and finished) when the transaction failed or brought no block.
    bool good(const TransactionResult& r, WriteResult::Stage stage) {
        if (!r.ok()) {
            fail(stage, r.kind, r.error);
            return false;
        }
        if (stage != WriteResult::Stage::Write && !ToBlock(r.bytes)) {
            fail(stage, ErrorKind::WrongReply, QStringLiteral("the reply is no parameter block"));
            return false;
        }
        return true;
    }
};

void Write(const std::shared_ptr<Run>& run);

void ReadFirst(const std::shared_ptr<Run>& run) {
    run->session.readParamsTwice(run->what.memory, [run](const TransactionResult& read) {
        if (!run->good(read, WriteResult::Stage::Read)) {
            return;
        }
        const core::ParamBlock before = *ToBlock(read.bytes);
        run->result.before = before;
        run->result.wanted = run->what.block.value_or(before);
        if (!run->what.block) {
            const core::AssignedBlock assigned = core::ApplyAssignments(run->what.changes, before);
            if (!assigned.ok) {
                run->fail(WriteResult::Stage::Read, ErrorKind::Refused,
                          QString::fromStdString(assigned.reason));
                return;
            }
            run->result.wanted = assigned.block;
        }
        run->result.after = run->result.wanted;
        if (run->result.wanted == before) {
            run->finish(WriteResult::State::Unchanged);
            return;
        }
        Write(run);
    });
}

void Write(const std::shared_ptr<Run>& run) {
    if (run->what.origin) {
        if (const QString refused = run->attempt(); !refused.isEmpty()) {
            run->unrecorded = true;
            run->fail(WriteResult::Stage::Read, ErrorKind::Unrecorded,
                      refused + QStringLiteral("; nothing written"));
            return;
        }
    }
    const Memory m = run->what.memory;
    run->result.stage = WriteResult::Stage::Write;
    run->session.writeParams(m, run->result.wanted, [run, m](const TransactionResult& w) {
        if (!run->good(w, WriteResult::Stage::Write)) {
            return;
        }
        if (!run->what.readBack) {
            run->finish(WriteResult::State::Written);
            return;
        }
        run->session.readParams(m, [run](const TransactionResult& back) {
            if (!run->good(back, WriteResult::Stage::ReadBack)) {
                return;
            }
            const core::ParamBlock held = *ToBlock(back.bytes);
            if (held != run->result.wanted) {
                run->result.after = held;
                run->fail(WriteResult::Stage::ReadBack, ErrorKind::NotKept,
                          QStringLiteral("the sensor holds something else than was written: %1")
                              .arg(DiffLines(run->result.wanted, held).join(QStringLiteral("; "))));
                return;
            }
            run->finish(WriteResult::State::Written);
        });
    });
}

} // namespace

void WriteBlock(PortSession& session, BlockWrite what, WriteDone done) {
    auto run = std::make_shared<Run>(Run{session, std::move(what), std::move(done), {}});
    if (run->what.block) {
        run->result.wanted = *run->what.block;
        run->result.after = run->result.wanted;
    }
    run->result.before = run->what.known;
    if (run->what.readFirst || !run->what.block) {
        ReadFirst(run);
    } else {
        // Answered from the event loop, as a transaction is, also when nothing is written.
        QTimer::singleShot(0, &session, [run] { Write(run); });
    }
}

const char* StageName(WriteResult::Stage stage) {
    switch (stage) {
    case WriteResult::Stage::Read:
        return "read";
    case WriteResult::Stage::Write:
        return "write";
    case WriteResult::Stage::ReadBack:
        break;
    }
    return "read-back";
}

QString WriteFailureText(Memory m, const WriteResult& r) {
    switch (r.error.kind) {
    case ErrorKind::Refused:
        return r.error.message + QStringLiteral("; nothing written");
    case ErrorKind::Unsteady:
    case ErrorKind::NotKept:
    case ErrorKind::Unrecorded:
        return r.error.message;
    default:
        break;
    }
    return QStringLiteral("%1 %2: %3%4")
        .arg(QLatin1String(MemoryName(m)), QLatin1String(StageName(r.stage)), r.error.message,
             r.stage == WriteResult::Stage::Read ? QStringLiteral("; nothing written") : QString());
}

} // namespace zurid::sensors
