// Private to the toolkit layer: panel registry, callback dispatch and the helpers that the
// ui_*.cpp files share. Every control widget carries the dynamic properties
//   ctrlId      its id within the panel
//   callback    the name of its callback in the resource (may be missing)
//   panelHandle the handle of its panel (set on load)
//   cbIndex     index of its callback in the registered table (set on load when bound)
// A control's caption is a QLabel named by the control's property labelWidget; that label
// carries labelFor = the control's id and follows its visibility and dimming.
#pragma once

#include "platform/ui/userint.h"

#include <QPointer>
#include <QWidget>

#include <map>

class QLabel;

namespace ui {

// Negative results of the layer's functions.
constexpr int kErrFile = -1;      // resource or image file missing or unreadable
constexpr int kErrResource = -2;  // file is not a usable panel resource
constexpr int kErrToolkit = -3;   // no toolkit (InitToolkit not called or failed)
constexpr int kErrPanel = -4;     // no such panel handle
constexpr int kErrControl = -5;   // no such control on the panel
constexpr int kErrType = -6;      // operation or value type does not fit the control
constexpr int kErrAttribute = -7; // attribute not supported by the control
constexpr int kErrIndex = -8;     // list index or trace number out of range
constexpr int kErrValue = -9;     // value not among the ring's items

struct Panel {
    QPointer<QWidget> widget;
    std::map<int, QPointer<QWidget>> controls;
};

// The registry of loaded panels, by handle.
std::map<int, Panel>& Panels();
Panel* FindPanel(int handle);
// The control widget, or nullptr with *error set to kErrPanel or kErrControl.
QWidget* FindCtrl(int panel, int control, int* error);
// A fresh id for a control created at run time (above those of any resource file).
int NextDynamicId();
// Makes `w` a control of `panel` with id `id` and wires its events.
void RegisterCtrl(int panel, int id, QWidget* w);

// Calls the callback of a control or of a panel widget, if it has one. Callbacks may run
// nested event loops and may discard the panel; the widget is not touched afterwards.
void DispatchCtrl(QWidget* ctrl, int event, int data1 = 0, int data2 = 0);
void DispatchPanel(QWidget* panel, int event);
// Depth of callbacks running now (0 outside any callback).
int DispatchDepth();
bool HasCallback(const QWidget* ctrl);

// Connects the operator's actions on a control to its callback (ui_events.cpp).
void WireControl(QWidget* ctrl);
void WireCaption(QLabel* caption);
void WirePanel(QWidget* panel);

// The caption label of a control, or nullptr.
QLabel* CaptionOf(QWidget* ctrl);
// Keeps a switch's text in step with its state (properties textOn / textOff).
void SyncSwitchText(QWidget* ctrl);
// Fill colour of a frame, 0xRRGGBB.
void SetFillColor(QWidget* w, int rgb);

// Graph places (ui_graphs.cpp): replaces a placeholder with a chart view that takes over its
// geometry, name, properties and visibility; returns the new widget.
QWidget* MakeChart(QWidget* placeholder);
bool IsChart(const QWidget* w);
int SetPointsPerScreen(QWidget* chart, int points);
int PointsPerScreen(const QWidget* chart, int* points);

// A file name as given, or in the program's directory when it is relative.
QString ResolveProgramFile(const char* file);

// Builds the QApplication when the window system can be reached (ui_display.cpp). Otherwise,
// or when Qt's platform plugin fails all the same, one line on stderr names the display or
// platform; false then, or for a failure inside Qt the process ends at once with -1.
bool StartApplication(int& argc, char** argv);

} // namespace ui
