// Ctrl-C and SIGTERM as an ordinary event: the signal handler only writes a byte into a pipe,
// and a QSocketNotifier on the other end emits stopRequested() from the event loop, so whatever
// runs there ends between two events, never in the middle of writing a file.
#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <memory>

namespace zurid::cli {

class StopSignals : public QObject {
    Q_OBJECT
  public:
    // Catches SIGINT and SIGTERM while it lives; only one may live at a time.
    explicit StopSignals(QObject* parent = nullptr);
    ~StopSignals() override; // the signals' previous handling comes back
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    int lastSignal() const { return last_; }

  signals:
    void stopRequested(int signal);

  private:
    void onReadable();

    std::unique_ptr<QSocketNotifier> notifier_;
    int last_ = 0;
};

} // namespace zurid::cli
