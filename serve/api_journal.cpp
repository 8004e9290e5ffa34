// /api/v1/journal: who changed which sensor, when and why, oldest first.
#include "serve/api.h"

#include "platform/serial/journal.h"

#include <QJsonArray>

namespace zurid::serve {

namespace {

using http::Request;
using http::Responder;

constexpr qsizetype kDefaultLimit = 1000;
constexpr qsizetype kLargestLimit = 100000;

// ?sensor=COM1&since=2026-12-01&limit=50, judged before the journal is read.
Checked<platform::JournalFilter> FilterOf(const Request& request) {
    platform::JournalFilter f;
    f.sensor = request.query.queryItemValue(QStringLiteral("sensor"));
    const QString since = request.query.queryItemValue(QStringLiteral("since"));
    if (!since.isEmpty()) {
        f.since = QDateTime::fromString(since, Qt::ISODate);
        if (!f.since.isValid()) {
            const QDate day = QDate::fromString(since, Qt::ISODate);
            f.since = day.isValid() ? day.startOfDay() : QDateTime();
        }
        if (!f.since.isValid()) {
            return Checked<platform::JournalFilter>::failure(
                ErrorKind::Invalid,
                QStringLiteral("since is an ISO 8601 date or time, not '%1'").arg(since.left(40)));
        }
    }
    const QString limit = request.query.queryItemValue(QStringLiteral("limit"));
    bool number = limit.isEmpty();
    f.limit = limit.isEmpty() ? kDefaultLimit : limit.toLongLong(&number);
    if (!number || f.limit < 1 || f.limit > kLargestLimit) {
        return Checked<platform::JournalFilter>::failure(
            ErrorKind::Invalid,
            QStringLiteral("limit is a number from 1 to %1").arg(kLargestLimit));
    }
    return f;
}

void ReadRecords(const Api& api, const Request& request, const Responder& reply) {
    const Checked<platform::JournalFilter> filter = FilterOf(request);
    if (!filter) {
        Send(reply, filter.failed());
        return;
    }
    const platform::JournalRecords read = platform::ReadJournal(api.journal, *filter);
    if (!read.error.isEmpty()) {
        Send(reply, Answer::failure(ErrorKind::Io, read.error));
        return;
    }
    QJsonArray records;
    for (const QJsonObject& r : read.records) {
        records.append(r);
    }
    Send(reply, Answer::json(QJsonObject{{QStringLiteral("records"), records}}));
}

} // namespace

void AddJournalRoutes(http::Router& router, Api& api) {
    router.add(
        "GET", QStringLiteral("/api/v1/journal"),
        [&api](const Request& request, const Responder& r) { ReadRecords(api, request, r); });
}

} // namespace zurid::serve
