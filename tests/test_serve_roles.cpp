// Who may do what on zurid serve: every write, by HTTP and by MQTT, tried without a token, with
// a wrong one, as an operator, as an engineer and on a server started --read-only, answers as
// the README's roles table says (the table here is checked against it); the lock-out after
// wrong tokens, which a missing one does not feed and which holds one address alone; --private
// reads; tokens made by `zurid token` that work and are not kept; the tokens file read strictly.
#include "serve/tokens.h"
#include "sim/fleet.h"
#include "support/files.h"
#include "support/mosquitto.h"
#include "support/serve.h"
#include "support/zurid.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <array>
#include <sys/stat.h>
#include <utility>

using namespace testing_support;

namespace {

enum Column { NoToken, WrongToken, Operator, Engineer, ReadOnly, kColumns };

struct Row {
    const char* request; // as the README's first column names it
    std::array<const char*, kColumns> answers;
};

// The roles table: each write, and its answer by whom (HTTP status and code; over MQTT the
// answer's code, "ok" for a change carried out).
const Row kRoles[] = {
    {"PATCH /api/v1/sensors/ID/parameters?memory=ram",
     {"401 unauthorized", "403 forbidden", "200", "200", "403 read_only"}},
    {"PATCH /api/v1/sensors/ID/parameters?memory=eeprom",
     {"401 unauthorized", "403 forbidden", "403 forbidden", "200", "403 read_only"}},
    {"POST /api/v1/backups", {"401 unauthorized", "403 forbidden", "202", "202", "403 read_only"}},
    {"POST /api/v1/backups/NAME/verify",
     {"401 unauthorized", "403 forbidden", "202", "202", "403 read_only"}},
    {"POST /api/v1/backups/NAME/restore",
     {"401 unauthorized", "403 forbidden", "403 forbidden", "202", "403 read_only"}},
    {"POST /api/v1/sensors/ID/health/reference",
     {"401 unauthorized", "403 forbidden", "200", "200", "403 read_only"}},
    {"POST /api/v1/sensors/ID/drift/accept",
     {"401 unauthorized", "403 forbidden", "403 forbidden", "200", "403 read_only"}},
    {"MQTT PREFIX/sensors/ID/set, \"memory\": \"ram\"",
     {"bad_request", "forbidden", "ok", "ok", "read_only"}},
    {"MQTT PREFIX/sensors/ID/set, \"memory\": \"eeprom\"",
     {"bad_request", "forbidden", "forbidden", "ok", "read_only"}},
};

// The HTTP rows' requests, on COM1, in the table's order; the MQTT rows follow them.
const std::pair<QByteArray, QByteArray> kHttpWrites[] = {
    {"PATCH", "/api/v1/sensors/COM1/parameters?memory=ram"},
    {"PATCH", "/api/v1/sensors/COM1/parameters?memory=eeprom"},
    {"POST", "/api/v1/backups"},
    {"POST", "/api/v1/backups/base/verify"},
    {"POST", "/api/v1/backups/base/restore"},
    {"POST", "/api/v1/sensors/COM1/health/reference"},
    {"POST", "/api/v1/sensors/COM1/drift/accept"},
};
constexpr int kHttpRows = int(std::size(kHttpWrites));
constexpr int kLightRow = 5;

// Wrong tokens from one address within a minute that lock it out.
constexpr int kLockingTries = 5;

// The rows of the README's first table after `heading`, each split into its cells, backticks
// and the header row left out.
QList<QStringList> ReadmeTable(const QString& heading) {
    QFile f(QStringLiteral(ZURID_SOURCE_DIR "/README.md"));
    if (!f.open(QIODevice::ReadOnly)) {
        return {};
    }
    const QStringList lines = QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'));
    QList<QStringList> rows;
    qsizetype i = lines.indexOf(heading);
    while (i >= 0 && ++i < lines.size() && !lines[i].startsWith(QLatin1Char('|'))) {
    }
    for (++i; i >= 1 && i < lines.size() && lines[i].startsWith(QLatin1Char('|')); ++i) {
        QStringList cells = QString(lines[i]).remove(QLatin1Char('`')).split(QLatin1Char('|'));
        cells = cells.mid(1, cells.size() - 2);
        for (QString& c : cells) {
            c = c.trimmed();
        }
        if (!cells.value(0).startsWith(QLatin1String("---"))) {
            rows << cells;
        }
    }
    return rows;
}

} // namespace

class ServeRolesTest : public QObject {
    Q_OBJECT

    QTemporaryDir tmp;
    Mosquitto broker;
    std::unique_ptr<sim::SensorFleet> fleet;
    std::unique_ptr<Subscriber> answers;
    ServeProcess line;     // --tokens and --token-file
    ServeProcess readOnly; // --read-only --private
    std::array<QByteArray, kColumns> tokens;
    QByteArray single; // the --token-file's
    int commands = 0;

    QString tokensFile() const { return tmp.filePath("tokens"); }

    ZuridRun Token(const QStringList& args) {
        return RunZurid(QStringList{"token"} + args + QStringList{"--tokens", tokensFile()}, {});
    }

    // A job started by a request that was accepted, waited for until it ends.
    bool JobEnds(const ServeProcess& s, const HttpAnswer& a) {
        return PollJson(s.port(), a.header("Location"),
                        [](const QJsonObject& o) { return o["state"] != "running"; })
            .has_value();
    }

    // The answer to one write of `row` with `token` on `s`, as the table words it; an HTTP
    // request comes `from` that address.
    QString Answer(int row, const ServeProcess& s, const QByteArray& token, const QString& prefix,
                   const QHostAddress& from = {}) {
        if (row < kHttpRows) {
            const QByteArray body =
                row < 2            ? "{\"THRESHOLD\": " + QByteArray::number(60 + commands++) + "}"
                : row == 2         ? "{\"name\": \"b" + QByteArray::number(commands++) + "\"}"
                : row == 4         ? "{\"dry_run\": true}"
                : row == kLightRow ? "{}"
                                   : QByteArray();
            const auto& [method, target] = kHttpWrites[row];
            HttpAnswer a = Http(s.port(), method, target, body, token, 10000, from);
            // A change of RAM starts the readings behind the light level anew: until the next
            // reading is in, the reference is refused (503).
            QElapsedTimer waited;
            waited.start();
            while (row == kLightRow && a.status == 503 && waited.elapsed() < 5000) {
                QTest::qWait(20);
                a = Http(s.port(), method, target, body, token, 10000, from);
            }
            if (a.status == 202 && !JobEnds(s, a)) {
                return QStringLiteral("a job that never ended");
            }
            return a.errorCode().isEmpty()
                       ? QString::number(a.status)
                       : QStringLiteral("%1 %2").arg(a.status).arg(a.errorCode());
        }
        const QString id = QStringLiteral("c%1").arg(commands++);
        QJsonObject command{{"id", id},
                            {"memory", row == kHttpRows ? "ram" : "eeprom"},
                            {"values", QJsonObject{{"THRESHOLD", 60 + commands}}}};
        if (!token.isEmpty()) {
            command["token"] = QString::fromLatin1(token);
        }
        const QString topic = prefix + "/sensors/COM1/set";
        Publish(broker.port(), topic, QJsonDocument(command).toJson(QJsonDocument::Compact));
        QJsonObject answer;
        answers->waitFor(topic + "/response", [&](const Message& m) {
            answer = QJsonDocument::fromJson(m.payload).object();
            return answer["id"] == id;
        });
        if (answer["id"] != id) {
            return QStringLiteral("no answer");
        }
        return answer.contains("error") ? answer["error"].toObject()["code"].toString()
                                        : QStringLiteral("ok");
    }

  private slots:
    void initTestCase() {
        QVERIFY(broker.start());
        std::vector<sim::Config> configs(2);
        for (unsigned i = 0; i < configs.size(); ++i) {
            configs[i].wireTime = false;
            configs[i].answerDelay = 0.002;
            configs[i].seed = i + 11;
        }
        fleet = std::make_unique<sim::SensorFleet>(configs);
        QVERIFY(fleet->start());
        // The tokens, made as an operator makes them: each printed alone on its line, once.
        for (const auto& [column, name, role] :
             {std::tuple{Operator, "olga", "operator"}, std::tuple{Engineer, "emil", "engineer"}}) {
            const ZuridRun made = Token({"add", name, "--role", role});
            QVERIFY2(made.exitCode == 0, made.err.constData());
            QVERIFY2(QRegularExpression("^[0-9a-f]{64}\n$").match(made.outText()).hasMatch(),
                     made.out.constData());
            tokens[column] = made.out.trimmed();
        }
        tokens[WrongToken] = QByteArray(64, '0');
        tokens[ReadOnly] = tokens[Engineer];
        const QByteArray kept = Contents(tokensFile());
        QVERIFY(!kept.contains(tokens[Operator]) && !kept.contains(tokens[Engineer]));
        QCOMPARE(Mode(tokensFile()), 0600);
        QCOMPARE(Token({"list"}).out, QByteArray("olga                     operator\n"
                                                 "emil                     engineer\n"));

        single = "0123456789abcdef0123456789abcdef";
        Put(tmp.filePath("token"), single);
        QCOMPARE(::chmod(QFile::encodeName(tmp.filePath("token")).constData(), 0600), 0);
        const QStringList mqtt{"--mqtt", broker.url(), "--mqtt-commands", "--mqtt-prefix"};
        answers = std::make_unique<Subscriber>(broker.port(), "+/sensors/+/set/response");
        // The reference whose drift an engineer accepts, made before serve starts.
        QProcessEnvironment env = ZuridEnv({fleet->paths()[0]});
        env.insert("XDG_STATE_HOME", tmp.filePath("state"));
        const ZuridRun reference =
            RunZuridIn(env, {"backup", tmp.filePath("backups/line"), "COM1"});
        QVERIFY2(reference.exitCode == 0, reference.err.constData());
        QVERIFY2(line.start(QStringList{"COM1", "--tokens", tokensFile(), "--token-file",
                                        tmp.filePath("token"), "--backups", tmp.filePath("backups"),
                                        "--reference", "line"} +
                                mqtt + QStringList{"open"},
                            {fleet->paths()[0]}, tmp.filePath("state")),
                 qPrintable(line.errText()));
        QVERIFY2(line.errText().contains("the token in " + tmp.filePath("token") +
                                         " is the identity 'token-file', with every right"),
                 qPrintable(line.errText()));
        QVERIFY2(readOnly.start(
                     QStringList{"COM1", "--tokens", tokensFile(), "--read-only", "--private"} +
                         mqtt + QStringList{"shut"},
                     {fleet->paths()[1]}, tmp.filePath("state-ro")),
                 qPrintable(readOnly.errText()));
        QVERIFY(line.waitForStatus("ok"));
        // The backup that verify and restore name, made with the --token-file's token.
        const HttpAnswer base =
            Http(line.port(), "POST", "/api/v1/backups", "{\"name\": \"base\"}", single);
        QCOMPARE(base.status, 202);
        QVERIFY(JobEnds(line, base));
        Subscriber status(broker.port(), "shut/sensors/COM1/status");
        QVERIFY(status.waitFor("shut/sensors/COM1/status"));
    }

    void cleanupTestCase() {
        QCOMPARE(line.terminate(), 0);
        QCOMPARE(readOnly.terminate(), 0);
        // The one lock-out is logged once.
        QCOMPARE(line.errText().count("wrong tokens"), 1);
    }

    void theReadmeShowsThisTable() {
        const QList<QStringList> readme = ReadmeTable("### Who may do what");
        QCOMPARE(readme.size(), qsizetype(std::size(kRoles)));
        for (qsizetype i = 0; i < readme.size(); ++i) {
            QStringList mine{QLatin1String(kRoles[i].request)};
            for (const char* a : kRoles[i].answers) {
                mine << QLatin1String(a);
            }
            QCOMPARE(readme[i], mine);
        }
    }

    // Column by column, the wrong tokens last: the first five, from 127.0.0.1, lock that address
    // out (the missing ones before did not count); the rest come from 127.0.0.2, which the
    // lock-out leaves alone.
    void everyWriteByEveryone() {
        const QHostAddress second(QStringLiteral("127.0.0.2"));
        int wrong = 0;
        for (const Column c : {NoToken, Operator, Engineer, ReadOnly, WrongToken}) {
            const ServeProcess& s = c == ReadOnly ? readOnly : line;
            const QString prefix = c == ReadOnly ? "shut" : "open";
            for (int row = 0; row < int(std::size(kRoles)); ++row) {
                const bool pastLock = c == WrongToken && row < kHttpRows && ++wrong > kLockingTries;
                const QString got = Answer(row, s, c == NoToken ? QByteArray() : tokens[c], prefix,
                                           pastLock ? second : QHostAddress());
                QVERIFY2(got == QLatin1String(kRoles[row].answers[c]),
                         qPrintable(QStringLiteral("%1 (column %2): %3")
                                        .arg(kRoles[row].request)
                                        .arg(c)
                                        .arg(got)));
            }
        }
        const HttpAnswer locked = Http(line.port(), "PATCH", "/api/v1/sensors/COM1/parameters",
                                       "{\"THRESHOLD\": 90}", tokens[Engineer]);
        QCOMPARE(locked.status, 429);
        QCOMPARE(locked.errorCode(), QStringLiteral("too_many_requests"));
        QCOMPARE(Http(line.port(), "PATCH", "/api/v1/sensors/COM1/parameters",
                      "{\"THRESHOLD\": 91}", tokens[Engineer], 10000, second)
                     .status,
                 200);
    }

    // --private: the API, the stream and /metrics need a token of any role; the page's files
    // do not.
    void privateReadsNeedAToken() {
        const quint16 port = readOnly.port();
        QCOMPARE(Http(port, "GET", "/api/v1/sensors").status, 401);
        QCOMPARE(Http(port, "GET", "/api/v1/sensors/COM1", {}, tokens[WrongToken]).status, 403);
        QCOMPARE(Http(port, "GET", "/api/v1/sensors/COM1", {}, tokens[Operator]).status, 200);
        QCOMPARE(Http(port, "GET", "/metrics").status, 401);
        QCOMPARE(Http(port, "GET", "/metrics", {}, tokens[Engineer]).status, 200);
        QCOMPARE(Http(port, "GET", "/").status, 200);
        const QByteArray host = "127.0.0.1:" + QByteArray::number(port);
        const QByteArray handshake = WebSocketHandshake(host);
        QCOMPARE(RawHttp(port, handshake).status, 401);
        const QByteArray withToken =
            handshake.chopped(2) + "Authorization: Bearer " + tokens[Operator] + "\r\n\r\n";
        QCOMPARE(RawHttp(port, withToken).status, 101);
        QCOMPARE(Http(line.port(), "GET", "/metrics").status, 200); // open without --private
    }

    void theTokensFileIsReadStrictly() {
        const QByteArray hash = QByteArray(64, 'a');
        const struct {
            QByteArray text;
            const char* why; // "" for a file that is read
        } cases[] = {
            {"# the line\n\n  olga operator " + hash + "\nemil\tengineer " + hash + "\n", ""},
            {"olga operator\n", "line 1: a line is NAME ROLE SHA256, not 2 words"},
            {"\nolga operator " + hash + " x\n", "line 2: a line is NAME ROLE SHA256, not 4 words"},
            {"ol/ga operator " + hash + "\n", "line 1: 'ol/ga' is no name"},
            {"olga admin " + hash + "\n", "line 1: 'admin' is no role (operator or engineer)"},
            {"olga operator " + hash.toUpper() + "\n", "line 1: the SHA-256 of the token is 64"},
            {"olga operator " + hash.left(63) + "\n", "line 1: the SHA-256 of the token is 64"},
            {"olga operator " + hash + "\n#\nolga engineer " + hash + "\n",
             "line 3: olga is named on line 1 already"},
            {"token-file engineer " + hash + "\n", "line 1: the name token-file is the"},
        };
        for (const auto& c : cases) {
            const auto read = zurid::serve::ParseTokens("F", c.text);
            const QString why = QLatin1String(c.why);
            QVERIFY2(read.ok() == why.isEmpty(), qPrintable(read.error()));
            QVERIFY2(why.isEmpty() || read.error().startsWith("tokens file F " + why),
                     qPrintable(read.error()));
        }
        // A file that others may read is refused at start, naming it.
        const QString open = tmp.filePath("open-tokens");
        Put(open, "olga operator " + hash + "\n");
        QCOMPARE(::chmod(QFile::encodeName(open).constData(), 0644), 0);
        const ZuridRun refused =
            RunZurid({"serve", "COM1", "--tokens", open, "--listen", "127.0.0.1:0"}, {});
        QCOMPARE(refused.exitCode, 2);
        QVERIFY2(refused.errText().contains("tokens file " + open), refused.err.constData());
    }

    // add refuses a name that is there; remove keeps the rest of the file as it was.
    void tokenAddAndRemove() {
        const ZuridRun twice = Token({"add", "olga", "--role", "engineer"});
        QCOMPARE(twice.exitCode, 2);
        QVERIFY(twice.out.isEmpty());
        QCOMPARE(Token({"add", "nobody", "--role", "admin"}).exitCode, 2);
        QCOMPARE(Token({"remove", "nobody"}).exitCode, 1);
        Put(tokensFile(), "# plant 7\n" + Contents(tokensFile()));
        QCOMPARE(Token({"remove", "olga"}).exitCode, 0);
        const QByteArray left = Contents(tokensFile());
        QVERIFY2(left.startsWith("# plant 7\nemil engineer ") && left.count('\n') == 2, left);
        QCOMPARE(Token({"list"}).out, QByteArray("emil                     engineer\n"));
    }
};

QTEST_GUILESS_MAIN(ServeRolesTest)
#include "test_serve_roles.moc"
