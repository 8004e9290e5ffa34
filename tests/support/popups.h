// Test helper: answers the modal popups and file dialogs that the program opens, and records
// what they said. Works from a timer, so it also answers popups opened inside nested loops.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <deque>
#include <functional>
#include <optional>
#include <vector>

struct SeenPopup {
    QString title;
    QString text;
    double at; // Timer() when it was first seen
};

class PopupWatcher : public QObject {
    Q_OBJECT
  public:
    explicit PopupWatcher(QObject* parent = nullptr);
    ~PopupWatcher() override;

    // Answers for the next file dialogs, in order: a path to choose, or nullopt to cancel.
    // With no answer queued, a file dialog is cancelled.
    std::deque<std::optional<QString>> fileAnswers;
    // What each file dialog looked like when it opened.
    struct SeenDialog {
        QString title;
        QString directory;
        QString proposedName;
        QStringList nameFilters;
    };
    std::vector<SeenDialog> dialogs;
    std::vector<SeenPopup> popups;
    // Called when a message popup is first seen, while it is still open.
    std::function<void(const SeenPopup&)> onPopup;
    // How long a message popup stays open before it is dismissed, in milliseconds.
    int holdMs = 0;

    // Pumps events until `count` popups have been seen or `timeoutMs` has passed.
    bool waitForPopups(std::size_t count, int timeoutMs);

  private:
    void poll();
    QTimer timer_;
    QObject* current_ = nullptr;
    double currentSince_ = 0;
};
