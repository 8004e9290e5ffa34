// Panels: loading the Designer resource, the registry of panels and controls, binding and
// calling the program's callbacks.
#include "platform/serial/utility.h"
#include "platform/ui/comports_qt.h"
#include "platform/ui/qtaccess.h"
#include "platform/ui/ui_internal.h"
#include "platform/ui/userint.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QUiLoader>

#include <cstring>
#include <vector>

using zurid::platform::GetProjectDir;

namespace {

std::span<const CallbackEntry> g_callbacks;
int g_nextPanel = 1;
int g_nextDynamicId = 1001;
int g_dispatchDepth = 0;

// Index of `name` in the registered table, or -1.
int FindCallback(const QString& name, bool panelForm) {
    const QByteArray utf8 = name.toUtf8();
    for (std::size_t i = 0; i < g_callbacks.size(); ++i) {
        const CallbackEntry& e = g_callbacks[i];
        if (e.name != nullptr && std::strcmp(e.name, utf8.constData()) == 0 &&
            (panelForm ? e.panel != nullptr : e.ctrl != nullptr)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

void BindCallback(QWidget* w, bool panelForm) {
    const QString name = w->property("callback").toString();
    if (name.isEmpty()) {
        return;
    }
    const int index = FindCallback(name, panelForm);
    if (index >= 0) {
        w->setProperty("cbIndex", index);
    } else if (!g_callbacks.empty()) {
        qWarning("panel resource names callback %s, which the program does not provide",
                 qPrintable(name));
    }
}

struct DepthGuard {
    DepthGuard() { ++g_dispatchDepth; }
    ~DepthGuard() { --g_dispatchDepth; }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;
};

// Rings from the resource have no item data: their values are the item indices.
void NumberRingItems(QComboBox* ring) {
    for (int i = 0; i < ring->count(); ++i) {
        if (!ring->itemData(i).isValid()) {
            ring->setItemData(i, i);
        }
    }
}

// Collects the controls of a freshly loaded panel; false if two share an id.
bool CollectControls(QWidget* top, std::map<int, QPointer<QWidget>>* controls) {
    const QList<QWidget*> all = top->findChildren<QWidget*>();
    for (QWidget* w : all) {
        bool ok = false;
        const int id = w->property("ctrlId").toInt(&ok);
        if (!ok) {
            continue;
        }
        if (controls->count(id) != 0) {
            qWarning("panel resource: control id %d used twice", id);
            return false;
        }
        (*controls)[id] = w;
    }
    return true;
}

} // namespace

namespace ui {

std::map<int, Panel>& Panels() {
    static std::map<int, Panel> panels;
    return panels;
}

Panel* FindPanel(int handle) {
    auto it = Panels().find(handle);
    if (it == Panels().end() || it->second.widget.isNull()) {
        return nullptr;
    }
    return &it->second;
}

QWidget* FindCtrl(int panel, int control, int* error) {
    Panel* p = FindPanel(panel);
    if (p == nullptr) {
        *error = kErrPanel;
        return nullptr;
    }
    auto it = p->controls.find(control);
    if (it == p->controls.end() || it->second.isNull()) {
        *error = kErrControl;
        return nullptr;
    }
    *error = 0;
    return it->second.data();
}

int NextDynamicId() {
    return g_nextDynamicId++;
}

void RegisterCtrl(int panel, int id, QWidget* w) {
    Panel* p = FindPanel(panel);
    if (p == nullptr) {
        return;
    }
    w->setProperty("ctrlId", id);
    w->setProperty("panelHandle", panel);
    p->controls[id] = w;
    BindCallback(w, false);
    WireControl(w);
}

bool HasCallback(const QWidget* ctrl) {
    return ctrl->property("cbIndex").isValid();
}

int DispatchDepth() {
    return g_dispatchDepth;
}

void DispatchCtrl(QWidget* ctrl, int event, int data1, int data2) {
    bool ok = false;
    const int index = ctrl->property("cbIndex").toInt(&ok);
    if (!ok || index < 0 || static_cast<std::size_t>(index) >= g_callbacks.size()) {
        return;
    }
    const int panel = ctrl->property("panelHandle").toInt();
    const int id = ctrl->property("ctrlId").toInt();
    const DepthGuard depth;
    g_callbacks[static_cast<std::size_t>(index)].ctrl(panel, id, event, nullptr, data1, data2);
}

void DispatchPanel(QWidget* panel, int event) {
    bool ok = false;
    const int index = panel->property("cbIndex").toInt(&ok);
    if (!ok || index < 0 || static_cast<std::size_t>(index) >= g_callbacks.size()) {
        return;
    }
    const int handle = panel->property("panelHandle").toInt();
    const DepthGuard depth;
    g_callbacks[static_cast<std::size_t>(index)].panel(handle, event, nullptr, 0, 0);
}

QString ResolveProgramFile(const char* file) {
    const QString name = QString::fromLocal8Bit(file);
    if (QDir::isAbsolutePath(name)) {
        return name;
    }
    std::string dir;
    GetProjectDir(&dir);
    return QDir(QString::fromStdString(dir)).filePath(name);
}

} // namespace ui

void RegisterCallbacks(std::span<const CallbackEntry> table) {
    g_callbacks = table;
}

int LoadPanel(int parentPanel, const char* file, int resourceId) {
    if (QApplication::instance() == nullptr) {
        return ui::kErrToolkit;
    }
    QWidget* parent = nullptr;
    if (parentPanel != 0) {
        const ui::Panel* p = ui::FindPanel(parentPanel);
        if (p == nullptr) {
            return ui::kErrPanel;
        }
        parent = p->widget;
    }
    if (file == nullptr || resourceId != 1) {
        return ui::kErrResource;
    }
    QFile f(ui::ResolveProgramFile(file));
    if (!f.open(QIODevice::ReadOnly)) {
        return ui::kErrFile;
    }
    QUiLoader loader;
    QWidget* top = loader.load(&f, parent);
    if (top == nullptr) {
        return ui::kErrResource;
    }
    std::map<int, QPointer<QWidget>> found;
    if (!CollectControls(top, &found)) {
        delete top;
        return ui::kErrResource;
    }

    const int handle = g_nextPanel++;
    ui::Panel& panel = ui::Panels()[handle];
    panel.widget = top;
    top->setProperty("panelHandle", handle);
    BindCallback(top, true);
    ui::WirePanel(top);

    for (auto& [id, w] : found) {
        QWidget* ctrl = w;
        const QString kind = ctrl->property("ctrlKind").toString();
        if (kind == QLatin1String("graph") || kind == QLatin1String("stripchart")) {
            ctrl = ui::MakeChart(ctrl);
        } else if (auto* ring = qobject_cast<QComboBox*>(ctrl)) {
            NumberRingItems(ring);
            if (kind == QLatin1String("comports")) {
                AttachComPortRing(ring);
            }
        }
        bool hasColor = false;
        const int color = ctrl->property("frameColor").toInt(&hasColor);
        if (hasColor) {
            ui::SetFillColor(ctrl, color);
        }
        ui::RegisterCtrl(handle, id, ctrl);
        if (QLabel* caption = ui::CaptionOf(ctrl)) {
            caption->setProperty("labelFor", id);
            caption->setProperty("panelHandle", handle);
            caption->setVisible(!ctrl->isHidden());
            caption->setEnabled(ctrl->isEnabled());
            ui::WireCaption(caption);
        }
        ui::SyncSwitchText(ctrl);
    }
    return handle;
}

int DisplayPanel(int panel) {
    ui::Panel* p = ui::FindPanel(panel);
    if (p == nullptr) {
        return ui::kErrPanel;
    }
    p->widget->show();
    p->widget->raise();
    p->widget->activateWindow();
    return 0;
}

int DiscardPanel(int panel) {
    ui::Panel* p = ui::FindPanel(panel);
    if (p == nullptr) {
        return ui::kErrPanel;
    }
    QWidget* w = p->widget;
    ui::Panels().erase(panel);
    w->setProperty("panelHandle", QVariant());
    w->hide();
    // A callback of the panel may be running below us: delete once it has returned.
    if (ui::DispatchDepth() > 0) {
        w->deleteLater();
    } else {
        delete w;
    }
    return 0;
}

QWidget* PanelWidget(int panel) {
    ui::Panel* p = ui::FindPanel(panel);
    return p == nullptr ? nullptr : p->widget.data();
}

QWidget* CtrlWidget(int panel, int control) {
    int error = 0;
    return ui::FindCtrl(panel, control, &error);
}
