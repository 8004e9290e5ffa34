// The drift of a sensor from the line's reference, accepted: what the sensor holds becomes its
// set in the reference backup.
#include "serve/api.h"
#include "serve/drift.h"
#include "serve/jobs.h"

#include "platform/serial/journal.h"
#include "sensors/restore.h"

namespace zurid::serve {

namespace {

using http::Request;
using http::Responder;

// A record per memory: the reference's block before, the one it holds now after.
QString JournalAccept(const Api& api, const LinePort& p, const QString& who, const QString& address,
                      const sensors::ManifestEntry& before, const sensors::ManifestEntry& after) {
    if (api.journal.isEmpty()) {
        return {};
    }
    for (const auto& [memory, m] : {std::pair{platform::JournalMemory::Ram, Memory::Ram},
                                    std::pair{platform::JournalMemory::Eeprom, Memory::Eeprom}}) {
        platform::JournalEntry e(platform::JournalEvent::DriftAccepted,
                                 platform::JournalChannel::Api, who);
        e.address(address)
            .sensor(p.ref.label, p.location)
            .memory(memory)
            .bytes(sensors::SavedBlock(before, m), sensors::SavedBlock(after, m))
            .outcome(platform::JournalOutcome::Written);
        if (const QString why = platform::AppendJournal(api.journal, e.members()).error;
            !why.isEmpty()) {
            return why;
        }
    }
    return {};
}

void AcceptDrift(Api& api, const Request& request, const Responder& reply) {
    const Access a = Authorize(api, request, Need::Engineer);
    if (a.refusal) {
        Send(reply, *a.refusal);
        return;
    }
    const Checked<LinePort*> found = FindPort(api, request.param(QStringLiteral("id")));
    if (!found) {
        Send(reply, found.failed());
        return;
    }
    LinePort* p = *found;
    if (api.drift == nullptr || !api.drift->active()) {
        Send(reply, Answer::failure(ErrorKind::NotFound,
                                    QStringLiteral("this server has no reference (--reference)")));
        return;
    }
    if (api.drift->entryOf(*p) == nullptr) {
        Send(reply, Answer::failure(ErrorKind::NotFound,
                                    QStringLiteral("%1 has no set in the reference %2")
                                        .arg(p->ref.label, api.drift->name())));
        return;
    }
    if (const Checked<PortSession*> working = WorkingSession(*p); !working) {
        Send(reply, working.failed());
        return;
    }
    // A job may be writing the backups folder, the reference among them.
    if (api.jobs.running()) {
        Send(reply, Answer::failure(ErrorKind::Busy,
                                    QStringLiteral("a job is running; accept when it has ended")));
        return;
    }
    if (!p->writer.isEmpty()) {
        Send(reply,
             Answer::failure(ErrorKind::Busy,
                             QStringLiteral("%1: %2 is under way").arg(p->ref.label, p->writer)));
        return;
    }
    const Waiter client = ForClient(reply);
    // What the sensor holds now, read afresh, is what becomes the reference.
    const QString who = a.who ? a.who->name : QString();
    api.drift->verify(*p, [&api, p, who, address = request.peer.toString(),
                           client](const std::optional<Answer>& failed) {
        if (failed) {
            client.deliver(*failed);
            return;
        }
        // accept() refuses a sensor without a set, so there is a `before` when it succeeds.
        const sensors::ManifestEntry* entry = api.drift->entryOf(*p);
        const auto before = entry ? std::optional(*entry) : std::nullopt;
        if (const sensors::Status accepted = api.drift->accept(*p); !accepted) {
            client.deliver(Answer::failure(accepted.kind(), accepted.error()));
            return;
        }
        if (const QString why =
                JournalAccept(api, *p, who, address, *before, *api.drift->entryOf(*p));
            !why.isEmpty() && api.note) {
            api.note(QStringLiteral("%1: an accepted drift is not in the journal: %2")
                         .arg(p->ref.label, why));
        }
        client.deliver(Answer::json(QJsonObject{{QStringLiteral("sensor"), p->ref.label},
                                                {QStringLiteral("reference"), api.drift->name()},
                                                {QStringLiteral("drift"), p->drift}}));
    });
}

} // namespace

void AddDriftRoutes(http::Router& router, Api& api) {
    router.add(
        "POST", QStringLiteral("/api/v1/sensors/{id}/drift/accept"),
        [&api](const Request& request, const Responder& r) { AcceptDrift(api, request, r); });
}

} // namespace zurid::serve
