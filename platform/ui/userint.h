// The user-interface toolkit the program runs on: one panel loaded from a resource file, typed
// control values and attributes, graphs, a strip chart, popups and the event loop. Codes and
// argument orders are the toolkit's; the inner working is Qt (hidden in platform/ui/*.cpp).
#pragma once

#include "platform/serial/utility.h"

#include <span>
#include <string>

// Event codes delivered to callbacks.
constexpr int EVENT_COMMIT = 1;
constexpr int EVENT_VAL_CHANGED = 2;
constexpr int EVENT_RIGHT_CLICK = 5;
constexpr int EVENT_CLOSE = 11;

// Control attributes.
constexpr int ATTR_DIMMED = 500;
constexpr int ATTR_VISIBLE = 530;
constexpr int ATTR_LEFT = 531;
constexpr int ATTR_TOP = 532;
constexpr int ATTR_FRAME_COLOR = 550;
constexpr int ATTR_LABEL_TEXT = 641;
constexpr int ATTR_TEXT_COLOR = 680;
constexpr int ATTR_TEXT_FONT = 682;
constexpr int ATTR_TEXT_POINT_SIZE = 686;
constexpr int ATTR_TEXT_BGCOLOR = 690;
constexpr int ATTR_POINTS_PER_SCREEN = 1171;
constexpr int ATTR_TRACE_VISIBLE = 1234;

// Control style for NewCtrl.
constexpr int CTRL_TEXT_MSG = 160;

// Plot, point and line styles.
constexpr int VAL_THICK_LINE = 5;
constexpr int VAL_EMPTY_SQUARE = 0;
constexpr int VAL_SOLID = 0;
constexpr int VAL_CONNECTED_POINTS = 1;

// Colours are 0xRRGGBB; this one means transparent.
constexpr int VAL_TRANSPARENT = 0x1000000;

// Results of FileSelectPopup.
constexpr int VAL_NO_FILE_SELECTED = 0;
constexpr int VAL_EXISTING_FILE_SELECTED = 1;
constexpr int VAL_NEW_FILE_SELECTED = 2;

// Callback forms. Both return 0.
using CtrlCallbackPtr = int (*)(int panel, int control, int event, void* callbackData,
                                int eventData1, int eventData2);
using PanelCallbackPtr = int (*)(int panel, int event, void* callbackData, int eventData1,
                                 int eventData2);

// One named callback of the program; exactly one of the two pointers is set.
struct CallbackEntry {
    const char* name;
    CtrlCallbackPtr ctrl;
    PanelCallbackPtr panel;
};

// Start-up and the event loop.
// Brings up the toolkit for this process; 1 on success, 0 on failure. argc and argv must
// outlive the toolkit (pass main's). When the window system cannot be reached, one line on
// stderr names the display or platform; a failure that Qt would end with abort() ends the
// process at once with -1 instead.
int InitToolkit(int& argc, char** argv);
// The program's callbacks by name; LoadPanel binds the names in the resource file to them.
// The table must outlive the panels.
void RegisterCallbacks(std::span<const CallbackEntry> table);
// Loads panel `resourceId` of a resource file; a relative name is looked up in the program's
// directory. Returns a handle > 0, or a negative code when the file is missing or unreadable.
int LoadPanel(int parentPanel, const char* file, int resourceId);
int DisplayPanel(int panel);
int DiscardPanel(int panel);
// Dispatches events until QuitUserInterface; returns its argument.
int RunUserInterface();
int QuitUserInterface(int returnCode);
// The event pump, ProcessSystemEvents, is platform/serial/eventpump.h's: waits outside the
// toolkit use it too.

// Control values. Numbers are read in the type of the variable given.
int GetCtrlVal(int panel, int control, int* value);
int GetCtrlVal(int panel, int control, unsigned char* value);
int GetCtrlVal(int panel, int control, double* value);
int GetCtrlVal(int panel, int control, std::string* value);
int SetCtrlVal(int panel, int control, int value);
int SetCtrlVal(int panel, int control, double value);
int SetCtrlVal(int panel, int control, const char* value);
int SetCtrlVal(int panel, int control, const std::string& value);
// A numeric control for a value it has no number for: it shows `text` instead, one step below
// its minimum, and reads as that (minimum - 1) until the program sets a value. The operator
// can step up into the range and back down to the text meanwhile.
int SetCtrlNoValue(int panel, int control, const char* text);

// Attributes: numbers, colours and flags, or texts (label text, font name).
int SetCtrlAttribute(int panel, int control, int attribute, int value);
int SetCtrlAttribute(int panel, int control, int attribute, const char* value);
int GetCtrlAttribute(int panel, int control, int attribute, int* value);
int GetCtrlAttribute(int panel, int control, int attribute, std::string* value);

// Rings.
int ReplaceListItem(int panel, int control, int index, const char* label, int value);
// Inserts an item before `index`; -1 appends it.
int InsertListItem(int panel, int control, int index, const char* label, int value);
// Deletes `count` items from `index` on; -1 deletes all from there to the end.
int DeleteListItem(int panel, int control, int index, int count);
int GetLabelFromIndex(int panel, int control, int index, std::string* label);
int GetNumListItems(int panel, int control, int* count);

// New controls and pictures.
int NewCtrl(int panel, int style, const char* label, int top, int left);
int DisplayImageFile(int panel, int control, const char* file);

// Graphs and the strip chart.
int PlotY(int panel, int control, const void* array, int count, int dataType, int plotStyle,
          int pointStyle, int lineStyle, int pointFrequency, int color);
int DeleteGraphPlot(int panel, int control, int plotHandle, int refresh);
int PlotStripChart(int panel, int control, const void* array, int count, int startIndex,
                   int skipCount, int dataType);
int SetTraceAttribute(int panel, int control, int trace, int attribute, int value);

// Popups. Both are modal and return when the operator has answered.
int MessagePopup(const char* title, const char* message);
int FileSelectPopup(const char* defaultDirectory, const char* defaultFileSpec,
                    const char* fileTypeList, const char* title, int buttonLabel,
                    int restrictDirectory, int restrictExtension, int allowCancel,
                    int allowMakeDirectory, std::string* pathName);
