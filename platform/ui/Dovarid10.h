// Control ids of the main panel in Dovarid10.uir. A test checks that the two agree.
#pragma once

constexpr int PANEL = 1; // resource id of the main panel

constexpr int PANEL_COM = 2;
constexpr int PANEL_SEND = 3;
constexpr int PANEL_GET = 4;
constexpr int PANEL_GO = 5;
constexpr int PANEL_STOP = 6;
constexpr int PANEL_GETBUFF = 7;
constexpr int PANEL_FILE = 9;
constexpr int PANEL_EEPROM = 10;
constexpr int PANEL_RAM = 11;
constexpr int PANEL_LOGO = 12;
constexpr int PANEL_STATUS = 13;
constexpr int PANEL_OUTMODE = 15;
constexpr int PANEL_AVERAGE = 19;
constexpr int PANEL_HOLD = 20;
constexpr int PANEL_TRIGGER = 22;
constexpr int PANEL_DEADTIME = 24;
constexpr int PANEL_DEADTIMEMODE = 25;
constexpr int PANEL_NORM_DECO = 27;
constexpr int PANEL_GRAPH_ADJ = 30;
constexpr int PANEL_GRAPH_JMPBUF = 31;
constexpr int PANEL_SOURCE = 32;
constexpr int PANEL_REGCNT = 33;
constexpr int PANEL_PMOD = 34;
constexpr int PANEL_BACKLIM = 35;
constexpr int PANEL_DAT0 = 36;
constexpr int PANEL_DAT1 = 37;
constexpr int PANEL_NORM = 39;
constexpr int PANEL_EDGE = 40;
constexpr int PANEL_WIN = 41;
constexpr int PANEL_PARA = 42;
constexpr int PANEL_POWER = 43;
constexpr int PANEL_HYSTERESIS = 44;
constexpr int PANEL_THRESHOLD = 46;
constexpr int PANEL_LOGO_FRAME = 47;
constexpr int PANEL_STRIPCHART = 48;
constexpr int PANEL_DECO1 = 50;
constexpr int PANEL_DECO2 = 51;
constexpr int PANEL_DECO3 = 52;
constexpr int PANEL_DECO4 = 53;
constexpr int PANEL_DECO5 = 54;
constexpr int PANEL_DECO6 = 55;
