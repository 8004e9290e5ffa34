#include "sensors/write.h"

#include "sensors/paramtext.h"

#include <memory>

namespace zurid::sensors {

namespace {

struct Run {
    PortSession& session;
    BlockWrite what;
    WriteDone done;
    WriteResult result;

    void finish(WriteResult::State state) {
        result.state = state;
        done(result);
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
    if (run->what.readFirst || !run->what.block) {
        ReadFirst(run);
    } else {
        Write(run);
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
        return r.error.message;
    default:
        break;
    }
    return QStringLiteral("%1 %2: %3%4")
        .arg(QLatin1String(MemoryName(m)), QLatin1String(StageName(r.stage)), r.error.message,
             r.stage == WriteResult::Stage::Read ? QStringLiteral("; nothing written") : QString());
}

} // namespace zurid::sensors
