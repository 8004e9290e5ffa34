// Qt-side view of the toolkit layer, for the layer itself, tests and benchmarks only: the
// widget behind a panel handle or control id.
#pragma once

class QWidget;

QWidget* PanelWidget(int panel);
QWidget* CtrlWidget(int panel, int control);
