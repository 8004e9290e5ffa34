// Test helper: runs the real program (panel, callbacks, serial layer) inside the test process
// against a sensor simulator on a pseudo-terminal, and drives it like an operator.
#pragma once

#include "gui/transfer.h"
#include "sim/sensorsim.h"

#include <QString>

#include <functional>
#include <string>
#include <vector>

class QWidget;

namespace testing_support {

using Bytes = std::vector<std::uint8_t>;

// The sensor's blocks most tests start from; the spare bytes 12, 13, 14 of kRam never show on
// the panel and must still travel.
inline constexpr sim::Block kRam = {100, 120, 23, 1, 1, 0, 20, 50, 2, 0, 7, 1, 12, 13, 14};
inline constexpr sim::Block kEeprom = {90, 110, 0, 0, 2, 2, 30, 60, 3, 1, 3, 0, 7, 8, 9};
// The status line after a good line check, as the program shows it.
inline const QString kLineOk = QString::fromLatin1(zurid::LineOkText);

// Adds a device path to the port table (ZURID_PORTS) and returns its port number.
int AddPort(const std::string& devicePath);
// Starts the simulator and makes its port COM1, the port the program opens at start-up; call
// once per test program, before any other port is looked up.
void ConnectAsCom1(sim::SensorSim& s);

// Start-up as the program does it, up to the shown panel; 0 on success.
int StartProgram();
// Stops a running loop, closes the port and discards the panel.
void StopProgram();

QWidget* Ctrl(int control);
int IntVal(int control);
QString TextVal(int control);
bool Visible(int control);
bool Dimmed(int control);
QString Label(int control);
QStringList RingTexts(int control);

// Operator actions through real widget events.
void Click(int control);      // left click on a button
void RightClick(int control); // right click
void ChooseRingItem(int control, int index);
void Key(int qtKey); // a key on the panel (F8..F12)
void CloseWindow();  // the window manager's close request

// Runs `action` after `ms` from the event loop (useful before a click that runs a loop).
void After(int ms, std::function<void()> action);
// Runs `action` as soon as `pred` holds, checked from the event loop every few ms (also inside
// the program's own nested loops), or after `timeoutMs` at the latest.
void When(std::function<bool()> pred, std::function<void()> action, int timeoutMs = 10000);
// Clicks `control` the same way.
void ClickWhen(int control, std::function<bool()> pred, int timeoutMs = 10000);
// The main panel is on the screen: start-up, line check included, is over.
bool PanelShown();
// Pumps events until `pred` holds or `timeoutMs` has passed.
bool WaitUntil(const std::function<bool()>& pred, int timeoutMs);

// Back to a healthy sensor with this RAM block: no fault, normal replies, model data, an
// empty request log.
void ResetSensor(sim::SensorSim& s, const sim::Block& ram);
// A healthy sensor holding kRam and kEeprom, the program started on it up to the line check's
// LINE OK, and the simulator's request log cleared after that.
void StartOnHealthySensor(sim::SensorSim& s);
// How many requests with this order the simulator received since its log was cleared.
std::size_t CountOrder(const sim::SensorSim& s, std::uint8_t order);
// Bytes of every request the simulator received, in order.
std::vector<Bytes> Frames(const sim::SensorSim& s);
// A 17-byte request.
Bytes Request(std::uint8_t order, const Bytes& block);
Bytes Zeros(std::size_t n);

} // namespace testing_support
