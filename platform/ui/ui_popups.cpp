// Modal popups: the message box and the file dialog.
#include "platform/ui/ui_internal.h"
#include "platform/ui/userint.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLayout>
#include <QMessageBox>
#include <QScreen>
#include <QShowEvent>

namespace {

// A message box that shows its text in lines as given: QMessageBox on its own wraps anything
// wider than about 500 pixels, which breaks the help texts' long lines at odd places. Here the
// text gets the width of its longest line (trailing spaces aside, they hang past the edge);
// lines wrap only where the screen is narrower than that.
class PlainMessageBox : public QMessageBox {
  public:
    using QMessageBox::QMessageBox;

  protected:
    void showEvent(QShowEvent* event) override {
        QMessageBox::showEvent(event);
        FitText();
    }
    bool event(QEvent* event) override {
        // QMessageBox re-wraps on every layout request; keep our own sizing instead.
        if (event->type() == QEvent::LayoutRequest && fitted_) {
            return QDialog::event(event);
        }
        return QMessageBox::event(event);
    }

  private:
    void FitText() {
        auto* label = findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
        if (label == nullptr || layout() == nullptr) {
            return;
        }
        fitted_ = true;
        const QFontMetrics metrics(label->font());
        int textWidth = 0;
        for (const QString& line : label->text().split(QLatin1Char('\n'))) {
            qsizetype end = line.size();
            while (end > 0 && line.at(end - 1).isSpace()) {
                --end;
            }
            textWidth = qMax(textWidth, metrics.horizontalAdvance(line.left(end)) + 2);
        }
        const QScreen* s = screen();
        const int limit = s != nullptr ? s->availableGeometry().width() - 40 : 1200;
        label->setWordWrap(true);
        label->setMinimumWidth(0);
        layout()->activate();
        const int frame = layout()->totalSizeHint().width() - label->sizeHint().width();
        const int width =
            qMin(limit, qMax(layout()->totalMinimumSize().width(), textWidth + frame));
        label->setMinimumWidth(qMax(0, qMin(textWidth, width - frame)));
        layout()->activate();
        setFixedSize(width, layout()->totalHeightForWidth(width));
    }
    bool fitted_ = false;
};

// The window that popups belong to: the active one, else the first panel.
QWidget* PopupParent() {
    if (QWidget* active = QApplication::activeWindow()) {
        return active;
    }
    for (auto& [handle, panel] : ui::Panels()) {
        if (panel.widget != nullptr && panel.widget->isVisible()) {
            return panel.widget;
        }
    }
    return nullptr;
}

bool HasExtension(const QString& path, const QString& extension) {
    return QFileInfo(path).suffix().compare(extension, Qt::CaseInsensitive) == 0;
}

} // namespace

int MessagePopup(const char* title, const char* message) {
    if (QApplication::instance() == nullptr) {
        return ui::kErrToolkit;
    }
    PlainMessageBox box(PopupParent());
    box.setWindowModality(Qt::ApplicationModal);
    box.setIcon(QMessageBox::Information);
    // The program's texts are ASCII; a file path in a message is in the local encoding, as
    // the file dialog hands it out.
    box.setWindowTitle(QString::fromLocal8Bit(title));
    box.setTextFormat(Qt::PlainText);
    box.setText(QString::fromLocal8Bit(message));
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
    return 0;
}

int FileSelectPopup(const char* defaultDirectory, const char* defaultFileSpec,
                    const char* fileTypeList, const char* title, int /*buttonLabel*/,
                    int restrictDirectory, int restrictExtension, int allowCancel,
                    int allowMakeDirectory, std::string* pathName) {
    if (QApplication::instance() == nullptr) {
        return ui::kErrToolkit;
    }
    const QString directory = QString::fromLocal8Bit(defaultDirectory);
    const QString filter = QString::fromLatin1(fileTypeList);
    // "*.dat" -> "dat"; empty when the list names no single extension.
    QString extension;
    if (filter.startsWith(QLatin1String("*.")) && !filter.contains(QLatin1Char(';'))) {
        extension = filter.mid(2);
    }

    QFileDialog dialog(PopupParent(), QString::fromLatin1(title), directory);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setWindowModality(Qt::ApplicationModal);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setLabelText(QFileDialog::Accept, QStringLiteral("OK"));
    dialog.setOption(QFileDialog::ReadOnly, allowMakeDirectory == 0);
    QStringList filters{filter};
    if (restrictExtension == 0) {
        filters << QStringLiteral("All files (*)");
    } else if (!extension.isEmpty()) {
        dialog.setDefaultSuffix(extension);
    }
    dialog.setNameFilters(filters);
    dialog.selectFile(QString::fromLocal8Bit(defaultFileSpec));
    if (restrictDirectory != 0) {
        QObject::connect(&dialog, &QFileDialog::directoryEntered, &dialog,
                         [&dialog, directory](const QString& entered) {
                             if (QFileInfo(entered) != QFileInfo(directory)) {
                                 dialog.setDirectory(directory);
                             }
                         });
    }
    if (allowCancel == 0) {
        dialog.setWindowFlag(Qt::WindowCloseButtonHint, false);
    }

    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return VAL_NO_FILE_SELECTED;
    }
    QString chosen = QFileInfo(dialog.selectedFiles().first()).absoluteFilePath();
    if (restrictExtension != 0 && !extension.isEmpty() && !HasExtension(chosen, extension)) {
        chosen += QLatin1Char('.') + extension;
    }
    *pathName = chosen.toLocal8Bit().toStdString();
    return QFileInfo::exists(chosen) ? VAL_EXISTING_FILE_SELECTED : VAL_NEW_FILE_SELECTED;
}
