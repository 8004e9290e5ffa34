#include "popups.h"

#include "platform/serial/utility.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>

using zurid::platform::Timer;

PopupWatcher::PopupWatcher(QObject* parent) : QObject(parent) {
    timer_.setInterval(5);
    connect(&timer_, &QTimer::timeout, this, &PopupWatcher::poll);
    timer_.start();
}

PopupWatcher::~PopupWatcher() = default;

bool PopupWatcher::waitForPopups(std::size_t count, int timeoutMs) {
    QElapsedTimer t;
    t.start();
    while (popups.size() < count && t.elapsed() < timeoutMs) {
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return popups.size() >= count;
}

void PopupWatcher::poll() {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr) {
        current_ = nullptr;
        return;
    }
    if (auto* box = qobject_cast<QMessageBox*>(modal)) {
        if (current_ != box) {
            current_ = box;
            currentSince_ = Timer();
            popups.push_back({box->windowTitle(), box->text(), currentSince_});
            if (onPopup) {
                onPopup(popups.back());
            }
        }
        if ((Timer() - currentSince_) * 1000.0 >= holdMs) {
            current_ = nullptr;
            box->accept();
        }
        return;
    }
    if (auto* dlg = qobject_cast<QFileDialog*>(modal)) {
        if (current_ == dlg) {
            return;
        }
        current_ = dlg;
        const QStringList selected = dlg->selectedFiles();
        dialogs.push_back({dlg->windowTitle(), dlg->directory().absolutePath(),
                           selected.isEmpty() ? QString() : QFileInfo(selected.first()).fileName(),
                           dlg->nameFilters()});
        std::optional<QString> answer;
        if (!fileAnswers.empty()) {
            answer = fileAnswers.front();
            fileAnswers.pop_front();
        }
        if (answer) {
            dlg->selectFile(*answer);
            static_cast<QDialog*>(dlg)->accept(); // the dialog's own accept, which checks the name
        } else {
            dlg->reject();
        }
        current_ = nullptr;
    }
}
