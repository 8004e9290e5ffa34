// One sensor on one serial port, driven asynchronously: a queue of transactions (line check,
// parameter read and write, live data, jump buffer) run one after another on the port's signals
// and timers. Many sessions live side by side in one thread; nothing here blocks.
//
// Every transaction keeps the window's wire rules, planned and judged by core/exchange: the
// 17-byte request carries the session's current parameter block (zero until one was read or
// written, as in the window); a read waits its settle delay first, flushes both queues, writes
// the request and accepts the reply only when exactly the expected number of bytes has arrived
// within 3.0 s and (but for live data) the line then stays quiet for the quiet time, which each
// new byte starts again. More bytes than expected, a port error or a hang-up fail the
// transaction.
#pragma once

#include "core/exchange.h"
#include "core/protocol.h"
#include "platform/serial/portlock.h"
#include "sensors/result.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QSerialPort>
#include <QString>
#include <QTimer>

#include <deque>
#include <functional>

namespace zurid::sensors {

enum class Memory { Ram, Eeprom };

const char* MemoryName(Memory m); // "RAM", "EEPROM"

// The end of one transaction. A failure's kind: Timeout (no byte came), WrongReply (bytes
// came, but not the reply), Gone (the port failed or is not open), Unsteady (readParamsTwice:
// both reads came, but they differ), Io (the port did not take the request).
struct TransactionResult {
    ErrorKind kind = ErrorKind::None;
    QString error;     // when not ok: what went wrong, for the operator ("no reply within 3.0 s")
    QByteArray bytes;  // the reply, exactly the expected length when ok (empty for a write)
    qint64 sentNs = 0; // session clock when the request went out
    qint64 doneNs = 0; // session clock when the transaction ended

    bool ok() const { return kind == ErrorKind::None; }
};

using Done = std::function<void(const TransactionResult&)>;

struct Transaction {
    core::Order order = core::Order::LineCheck;
    int settleMs = 0; // wait before the flush and the request
    // Block the request carries; unset means the session's current block.
    bool ownBlock = false;
    core::ParamBlock block{};
    Done done;
};

class PortSession : public QObject {
    Q_OBJECT
  public:
    explicit PortSession(QString device, QObject* parent = nullptr);
    ~PortSession() override;
    PortSession(const PortSession&) = delete;
    PortSession& operator=(const PortSession&) = delete;

    // Takes the device's lock, then opens it at 4800 baud 8N1 without handshake. On failure
    // the kind (Busy, NotPermitted, NotFound, Io) and the reason in words ("in use by process
    // 1234 (zurid)", "permission denied ..." with the device's group). The lock is the
    // device's, whatever name it was given.
    Status open();
    void close();
    bool isOpen() const;
    const QString& device() const { return device_; }

    // Queued transactions; `done` is always called later from the event loop, never from inside
    // the call that queued it. After a port failure, every queued transaction ends with the
    // same error.
    void lineCheck(Done done);
    void readParams(Memory m, Done done); // settle 0.1 s (RAM) or 1.5 s (EEPROM), 15 bytes
    // Two reads of the block, one after the other (each with its settle delay); ok with the
    // block only when both are and they agree, else the first failure, or Unsteady with "two
    // reads of the RAM block differ; nothing written". Whoever writes on the strength of a read
    // (or at all, like a restore) reads this way first: a stale or shifted reply never counts.
    void readParamsTwice(Memory m, Done done);
    // No reply; ends when the 17 bytes have left the port and had their wire time.
    void writeParams(Memory m, const core::ParamBlock& block, Done done);
    void readData(int settleMs, Done done);       // 9 bytes
    void readJumpBuffer(int settleMs, Done done); // 16 bytes
    void enqueue(Transaction t);

    // Drops the queue without calling its `done`s and abandons the transaction in progress (its
    // reply, if it comes, is flushed by the next request). The port stays open.
    void cancel();
    bool idle() const;
    // The block the next request carries when it has none of its own.
    const core::ParamBlock& block() const { return block_; }
    // Nanoseconds on the session's monotonic clock (started with the session).
    qint64 clockNs() const { return clock_.nsecsElapsed(); }

    static int SettleMs(Memory m);

    // Hands the result of a reply to `done` from the reply's own event, not a turn of the loop
    // later: a reading reaches its clients sooner and costs no extra turn. Only for an owner
    // that never deletes the session from inside a `done`. Results that end inside a call that
    // queues (a port that is not open) still come later.
    void setPromptResults(bool on) { prompt_ = on; }

  signals:
    // The port failed (error or hang-up) and was closed.
    void portFailed(const QString& reason);

  private:
    enum class Step { Idle, Settling, Writing, Waiting, Draining };

    void startNext();
    void sendRequest();
    void onReadyRead();
    void onBytesWritten(qint64 n);
    void onError(QSerialPort::SerialPortError e);
    void onTimer();
    void judge();
    void wakeOn(int bytes);
    void fetchBelowWakeCount();
    void finish(TransactionResult r);
    void failAll(const QString& reason);
    void post(Done done, TransactionResult r);

    QString device_;
    platform::PortLock lock_; // held while the port is open
    QSerialPort port_;
    QTimer timer_;
    QElapsedTimer clock_;
    std::deque<Transaction> queue_;
    Transaction current_;
    Step step_ = Step::Idle;
    core::ExchangePlan plan_;
    qint64 lastByteNs_ = 0; // session clock when the last reply byte came
    qint64 written_ = 0;
    QByteArray reply_;
    qint64 sentNs_ = 0;
    int wakeBytes_ = 1;     // received bytes that wake the event loop (the system's default)
    quint64 exchanges_ = 0; // requests sent, to tell one exchange from the next
    core::ParamBlock block_{};
    QString failure_;        // set once the port failed
    quint64 generation_ = 0; // bumped by cancel(), so posted results of dropped work vanish
    bool prompt_ = false;
    bool promptNow_ = false; // judging a reply the event loop reported, with prompt results
    bool fetching_ = false;  // inside fetchBelowWakeCount()
};

} // namespace zurid::sensors
