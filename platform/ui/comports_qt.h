// The serial-port ring: a combo box listing the port table, rescanned when its list opens.
#pragma once

class QComboBox;

// Fills `ring` with the port table ("COMn  /dev/... (description)", item data n) and keeps it
// up to date: each time its list is opened the ports are rescanned and new ones appended, so
// the numbers and the current selection stay as they were.
void AttachComPortRing(QComboBox* ring);
