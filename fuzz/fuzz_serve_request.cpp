// Fuzzes zurid serve's request handling short of the sockets: our framer with its limits on a
// connection's byte stream, then every request it lets through routed to the real API (paths,
// query strings, JSON bodies), with a line that has no sensors and a backups folder that
// cannot be made. The first input byte chooses how the stream is cut into reads.
//
// Invariants: the framing does not depend on how the bytes arrive; each request is where the
// framer says in the stream, with its body; nothing follows a request that closes the
// connection or upgrades it; a refusal is one of our statuses; every request is answered once, at
// once (no sensor to wait for), with a status of ours, an error as {"error": {"code", "message"}},
// a 405 with its Allow header, a 202 with its Location; a PATCH body is refused as 400/422 or gives
// named parameters; the stream's hand-written reading message is valid JSON with the sensor's name
// as it is.
#include "fuzz/check.h"
#include "serve/api.h"
#include "serve/http/framer.h"
#include "serve/http/router.h"
#include "serve/jobs.h"
#include "serve/line.h"
#include "serve/sensorjson.h"
#include "serve/stream.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdint>
#include <memory>
#include <set>

using namespace zurid::serve;

namespace {

constexpr char kToken[] = "fuzz-token-0123456789abcdef";

// One engineer, so that a request with the token reaches every handler.
Keys FuzzKeys() {
    Keys keys;
    keys.add({QStringLiteral("fuzz"), Role::Engineer, TokenHash(kToken)});
    return keys;
}

struct World {
    Line line;
    Stream stream;
    Jobs jobs{line, QStringLiteral("/proc/zurid-fuzz/backups")}; // mkpath fails: no files
    Api api{line, stream, jobs, FuzzKeys(), false, false, [] { return 1; }};
    http::Router router;
    World() {
        AddSensorRoutes(router, api);
        AddJobRoutes(router, api);
        AddSiteRoutes(router, api);
    }
};

World* world = nullptr;

const std::set<int> kRefusals{400, 411, 413, 414, 431, 501};
const std::set<int> kAnswers{200, 202, 400, 401, 403, 404, 405, 409, 413, 422, 429, 500, 503, 504};

bool Same(const http::RequestHead& a, const http::RequestHead& b) {
    return a.method == b.method && a.target == b.target && a.version == b.version &&
           a.headers == b.headers && a.contentLength == b.contentLength && a.body == b.body &&
           a.startOffset == b.startOffset && a.endOffset == b.endOffset;
}

void Route(const http::RequestHead& head, const QByteArray& stream) {
    // The request is where the framer says it is in the stream, its body at its end.
    FUZZ_CHECK(head.startOffset >= 0 && head.startOffset < head.endOffset &&
                   head.endOffset <= stream.size() && head.body.size() == head.contentLength &&
                   stream.mid(head.startOffset, head.endOffset - head.startOffset)
                       .startsWith(head.method + ' ' + head.target) &&
                   (head.contentLength == 0 || stream.mid(head.endOffset - head.contentLength,
                                                          head.contentLength) == head.body),
               "request %s at %lld..%lld", head.target.constData(),
               static_cast<long long>(head.startOffset), static_cast<long long>(head.endOffset));
    http::Request r;
    r.method = head.method == "HEAD" ? QByteArray("GET") : head.method;
    const qsizetype q = head.target.indexOf('?');
    r.path = QString::fromUtf8(q < 0 ? head.target : head.target.left(q));
    r.query = QUrlQuery(QString::fromUtf8(q < 0 ? QByteArray() : head.target.mid(q + 1)));
    r.headers = head.headers;
    r.body = head.body;

    const auto patch = ParsePatch(r.body);
    FUZZ_CHECK(patch.ok() || patch.kind() == ErrorKind::Invalid ||
                   patch.kind() == ErrorKind::Refused,
               "PATCH body refused as %s", qPrintable(KindCode(patch.kind())));
    FUZZ_CHECK(!patch.ok() || !patch->items.empty(), "PATCH body accepted without items");
    if (patch.ok()) {
        for (const auto& item : patch->items) {
            FUZZ_CHECK(item.param != nullptr, "an item without its parameter");
        }
    }

    int answers = 0;
    http::Response got;
    world->router.dispatch(r, http::Responder([&](const http::Response& response) {
                               ++answers;
                               got = response;
                           }));
    FUZZ_CHECK(answers == 1, "%s %s answered %d times", r.method.constData(),
               head.target.constData(), answers);
    FUZZ_CHECK(kAnswers.count(got.status) == 1, "status %d", got.status);
    if (got.status >= 400) {
        const QJsonObject e = QJsonDocument::fromJson(got.body).object()["error"].toObject();
        FUZZ_CHECK(e["code"].isString() && e["message"].isString(), "error body %s",
                   got.body.constData());
    }
    if (got.status == 405) {
        FUZZ_CHECK(!http::HeaderValue(got.headers, "Allow").isEmpty(), "405 without Allow");
    }
    if (got.status == 202) {
        FUZZ_CHECK(http::HeaderValue(got.headers, "Location").startsWith("/api/v1/jobs/"),
                   "202 without its job");
    }
}

// The stream's reading message is written by hand: it must be the JSON it claims, whatever the
// sensor's name (a device path may hold any character).
void CheckReadingMessage(const QByteArray& stream) {
    LinePort p;
    p.ref.label = QString::fromUtf8(stream.left(48));
    Reading r;
    r.t = 1.0e9 + static_cast<double>(stream.size()) / 1000.0;
    const auto byte = [&stream](qsizetype i) {
        return i < stream.size() ? static_cast<unsigned char>(stream[i]) : 0;
    };
    r.values.dat0 = byte(0);
    r.values.norm = byte(1);
    r.values.edge = byte(2) * 256U;
    const QJsonObject o = QJsonDocument::fromJson(ReadingMessage(p, r).toUtf8()).object();
    FUZZ_CHECK(o["sensor"].toString() == p.ref.label && o["type"] == QLatin1String("reading") &&
                   o["DAT0"].toInt() == r.values.dat0 && o["NORM"].toInt() == r.values.norm &&
                   o["EDGE"].toInt() == static_cast<int>(r.values.edge) &&
                   qAbs(o["t"].toDouble() - r.t) < 0.001,
               "reading message of %s: %s", qPrintable(p.ref.label),
               qPrintable(ReadingMessage(p, r)));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static QCoreApplication app(*argc, *argv);
    world = new World;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    const std::size_t step = data[0] % 61 + 1;
    const QByteArray stream(reinterpret_cast<const char*>(data + 1),
                            static_cast<qsizetype>(size - 1));
    CheckReadingMessage(stream);
    http::Limits limits;
    limits.requestLine = 200;
    limits.headerBytes = 600;
    limits.bodyBytes = 1500;

    http::RequestFramer whole(limits);
    const auto refusedWhole = whole.feed(stream);
    const QList<http::RequestHead> heads = whole.takeHeads();

    http::RequestFramer pieces(limits);
    std::optional<http::RequestFramer::Refusal> refusedPieces;
    QList<http::RequestHead> headsPieces;
    for (qsizetype at = 0; at < stream.size() && !refusedPieces; at += step) {
        refusedPieces = pieces.feed(QByteArrayView(stream).sliced(
            at, std::min<qsizetype>(static_cast<qsizetype>(step), stream.size() - at)));
        headsPieces += pieces.takeHeads();
    }
    FUZZ_CHECK(refusedWhole.has_value() == refusedPieces.has_value() &&
                   (!refusedWhole || refusedWhole->status == refusedPieces->status),
               "whole: %d, in pieces of %zu: %d", refusedWhole ? refusedWhole->status : 0, step,
               refusedPieces ? refusedPieces->status : 0);
    FUZZ_CHECK(heads.size() == headsPieces.size(), "%lld heads whole, %lld in pieces",
               static_cast<long long>(heads.size()), static_cast<long long>(headsPieces.size()));
    for (qsizetype i = 0; i < heads.size(); ++i) {
        FUZZ_CHECK(Same(heads[i], headsPieces[i]), "head %lld differs in pieces",
                   static_cast<long long>(i));
    }
    if (refusedWhole) {
        FUZZ_CHECK(kRefusals.count(refusedWhole->status) == 1, "refused with %d",
                   refusedWhole->status);
    }
    for (qsizetype i = 0; i < heads.size(); ++i) {
        const http::RequestHead& head = heads[i];
        FUZZ_CHECK(head.target.startsWith('/') && head.contentLength <= limits.bodyBytes,
                   "let through: %s, %lld bytes", head.target.constData(),
                   static_cast<long long>(head.contentLength));
        // Nothing is taken after a request that ends the connection or leaves HTTP.
        FUZZ_CHECK(i == heads.size() - 1 || (head.keepAlive() && !head.upgradesToWebSocket()),
                   "a request after one that closes: %s", head.target.constData());
        if (!head.upgradesToWebSocket()) {
            Route(head, stream);
        }
    }
    return 0;
}
