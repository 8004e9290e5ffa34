#include "serve/mqtt/bridge.h"

namespace zurid::serve::mqtt {

namespace {

// Records published at once after the broker was away; older ones are skipped (and said so).
constexpr qsizetype kJournalBacklog = 1000;
// How often the journal's size is looked at, besides the watch on the file.
constexpr int kJournalLookMs = 2000;

ClientOptions WithBroker(const BridgeOptions& o) {
    ClientOptions c = o.client;
    c.broker = o.broker;
    c.caFile = o.caFile;
    c.credentials = o.credentials;
    // The same on every start: a restarted serve takes its old session over at the broker.
    c.clientId = QStringLiteral("zurid-serve:") + o.prefix;
    c.willTopic = Topics(o.prefix).status();
    return c;
}

} // namespace

Bridge::Bridge(BridgeOptions options, CommandTarget* target, QObject* parent)
    : QObject(parent), options_(std::move(options)), topics_(options_.prefix), target_(target),
      client_(WithBroker(options_)) {
    connect(&client_, &Client::note, this, &Bridge::note);
    connect(&client_, &Client::connectedChanged, this, &Bridge::connectedChanged);
    connect(&client_, &Client::connectedChanged, this, &Bridge::onConnectedChanged);
    connect(&client_, &Client::stopped, this, &Bridge::stopped);
    connect(&client_, &Client::message, this, &Bridge::onMessage);
    liveTimer_.setInterval(options_.liveMs);
    connect(&liveTimer_, &QTimer::timeout, this, &Bridge::flushLive);
    if (!options_.journal.isEmpty()) {
        journal_ = std::make_unique<JournalFeed>(options_.journal, kJournalLookMs);
        connect(journal_.get(), &JournalFeed::note, this, &Bridge::note);
        connect(journal_.get(), &JournalFeed::changed, this, &Bridge::publishJournal);
    }
}

sensors::Status Bridge::start() {
    if (sensors::Status prefix = CheckPrefix(options_.prefix); !prefix) {
        return prefix;
    }
    // Both at QoS 0: a clean session keeps nothing across a reconnect anyway, and a message
    // that the broker drops for being larger than we take then holds no place in its window
    // of unacknowledged ones (at QoS 1 it would, and enough of them would stop the rest).
    if (options_.commands) {
        if (target_ == nullptr) {
            return sensors::Status::failure(
                sensors::ErrorKind::Invalid,
                QStringLiteral("MQTT commands need the line to write to"));
        }
        // With the retain flag as published, a retained command is told from a new one even
        // while we are subscribed; over MQTT 3.1.1 there are no commands.
        client_.subscribe(topics_.setFilter(), 0, true);
    }
    if (target_ != nullptr) {
        // What a run that served other sensors left retained is found and cleared.
        client_.subscribe(topics_.statusFilter(), 0);
    }
    if (!options_.discovery.isEmpty()) {
        if (sensors::Status prefix = CheckPrefix(options_.discovery); !prefix) {
            return prefix;
        }
        client_.subscribe(DiscoveryStatusTopic(options_.discovery), 0);
    }
    if (options_.liveMs > 0) {
        liveTimer_.start();
    }
    if (journal_) {
        // Only the head of what was written before: it goes out on every connect.
        journal_->start();
        publishJournal();
    }
    return client_.start();
}

void Bridge::stop() {
    liveTimer_.stop();
    publishJournal(); // this server's last records (its stop) before "offline"
    client_.stop();
}

void Bridge::sensorChanged(const QString& id, const QJsonObject& apiSensor) {
    client_.retain(topics_.sensorStatus(id), SensorStatusPayload(apiSensor));
    if (options_.discovery.isEmpty()) {
        return;
    }
    for (const DiscoveryDocument& d :
         DiscoveryDocuments(options_.discovery, topics_, id, apiSensor)) {
        if (!discoveryTopics_.contains(d.topic)) {
            discoveryTopics_ << d.topic;
        }
        client_.retain(d.topic, d.payload);
    }
}

void Bridge::healthChanged(const QString& id, const QJsonObject& apiHealth) {
    client_.retain(topics_.health(id), Compact(apiHealth));
}

void Bridge::parametersChanged(const QString& id, sensors::Memory m,
                               const QJsonObject& apiParameters) {
    client_.retain(topics_.parameters(id, m), Compact(apiParameters));
}

void Bridge::driftChanged(const QString& id, const QJsonObject& drift) {
    client_.retain(topics_.drift(id), Compact(drift));
}

void Bridge::reading(const QString& id, const QByteArray& json) {
    if (options_.liveMs > 0) {
        newest_.insert(id, json);
    } else {
        publishLive(id, json);
    }
}

void Bridge::flushLive() {
    for (auto it = newest_.cbegin(); it != newest_.cend(); ++it) {
        publishLive(it.key(), it.value());
    }
    newest_.clear();
}

void Bridge::publishLive(const QString& id, const QByteArray& json) {
    auto topic = liveTopics_.constFind(id);
    if (topic == liveTopics_.cend()) {
        topic = liveTopics_.insert(id, topics_.live(id));
    }
    if (client_.publish(*topic, json, 0)) {
        ++stats_.livePublished;
    } else {
        ++stats_.liveDropped;
    }
}

Bridge::Stats Bridge::stats() const {
    Stats s = stats_;
    s.connected = client_.connected();
    s.connects = client_.stats().connects;
    return s;
}

void Bridge::onMessage(const QString& topic, const QByteArray& payload, bool retained) {
    if (!options_.discovery.isEmpty() && topic == DiscoveryStatusTopic(options_.discovery)) {
        // Home Assistant (re)started: it may have lost what it had, retained or not.
        if (payload == "online") {
            for (const QString& t : std::as_const(discoveryTopics_)) {
                client_.republish(t);
            }
        }
        return;
    }
    if (const std::optional<QString> other = topics_.sensorOfStatus(topic)) {
        if (retained && !payload.isEmpty() && target_ != nullptr && !target_->hasSensor(*other)) {
            forget(*other);
        }
        return;
    }
    const std::optional<QString> sensor = topics_.sensorOfSet(topic);
    // Over MQTT 3.1.1 no command is subscribed to, and one that comes all the same may have
    // been retained without our knowing.
    if (!options_.commands || !sensor || client_.protocol() != Protocol::Mqtt5) {
        return;
    }
    if (retained && payload.isEmpty()) {
        return; // a retained command being cleared
    }
    const ParsedCommand p = ParseCommand(payload);
    if (retained) {
        // Kept by the broker, it would be carried out anew on every connect.
        answer(*sensor, p.id,
               Answer::failure(ErrorKind::Invalid,
                               QStringLiteral("a retained command is not carried out; publish "
                                              "commands without retain, and clear this one with "
                                              "an empty retained message")));
        return;
    }
    if (!p.command) {
        answer(*sensor, p.id, Answer::failure(ErrorKind::Invalid, p.error));
        return;
    }
    if (!target_->hasSensor(*sensor)) {
        answer(*sensor, p.id,
               Answer::failure(ErrorKind::NotFound, QStringLiteral("no sensor %1").arg(*sensor)));
        return;
    }
    if (std::optional<Answer> refusal = target_->refuseWrite(p.command->token, p.command->memory)) {
        answer(*sensor, p.id, *refusal);
        return;
    }
    if (inFlight_ >= options_.commandsInFlight) {
        answer(*sensor, p.id,
               Answer::failure(
                   ErrorKind::Busy,
                   QStringLiteral("%1 commands are being carried out; try again").arg(inFlight_)));
        return;
    }
    ++inFlight_;
    const QJsonValue commandId = p.id;
    target_->writeParameters(
        *sensor, *p.command,
        [self = QPointer<Bridge>(this), sensor = *sensor, commandId](const Answer& a) {
            if (self) {
                --self->inFlight_;
                self->answer(sensor, commandId, a);
            }
        });
}

void Bridge::publishJournal() {
    if (!journal_) {
        return;
    }
    if (client_.connected()) {
        const platform::JournalTail tail = journal_->read(kJournalBacklog);
        bool all = true;
        for (const platform::JournalTail::Record& r : tail.records) {
            // Not taken (the connection lost or full): from here on at the next change or connect.
            if (!client_.publish(topics_.journal(), r.line, 1)) {
                all = false;
                break;
            }
            journal_->advance(r.after);
        }
        if (all) {
            journal_->advance(tail.end);
        }
    }
    if (const platform::JournalPlace& head = journal_->place(); head.seq > 0) {
        client_.retain(topics_.journalHead(), JournalHeadPayload(head.seq, head.hash));
    }
}

void Bridge::onConnectedChanged(bool connected) {
    if (connected) {
        publishJournal(); // what was appended while the broker was away
    }
    if (!connected || client_.protocol() == Protocol::Mqtt5 || toldMqtt311_) {
        return;
    }
    toldMqtt311_ = true;
    emit note(QStringLiteral("MQTT: %1 does not speak MQTT 5; publishing with MQTT 3.1.1, "
                             "which puts no limit on the size of what the broker sends us%2")
                  .arg(options_.broker.url(),
                       options_.commands
                           ? QStringLiteral(", and cannot tell a retained command from a new "
                                            "one: commands stay off")
                           : QString()));
}

void Bridge::forget(const QString& sensor) {
    emit note(
        QStringLiteral("MQTT: %1 is not served here any more; its retained topics are cleared")
            .arg(sensor));
    client_.clear(topics_.sensorStatus(sensor));
    client_.clear(topics_.parameters(sensor, sensors::Memory::Ram));
    client_.clear(topics_.parameters(sensor, sensors::Memory::Eeprom));
    client_.clear(topics_.health(sensor));
    client_.clear(topics_.drift(sensor));
    if (!options_.discovery.isEmpty()) {
        for (const DiscoveryDocument& d :
             DiscoveryDocuments(options_.discovery, topics_, sensor, {})) {
            client_.clear(d.topic);
        }
    }
}

void Bridge::answer(const QString& sensor, const QJsonValue& commandId, const Answer& a) {
    ++stats_.commands;
    if (!a.ok()) {
        ++stats_.commandsRefused;
    }
    client_.publish(topics_.setResponse(sensor), ResponsePayload(commandId, a), 1);
}

} // namespace zurid::serve::mqtt
