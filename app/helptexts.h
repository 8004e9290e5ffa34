// Help texts shown by a right click on a control, and the time-out message. Every space and line
// break is part of a text: the popups show them exactly as stored here.
#pragma once

#include "gui/report.h" // InfoTimeout, raised by the sensor transactions
#include "platform/ui/Dovarid10.h"

#include <array>

namespace zurid {

// Title of every help popup (the time-out popup has its own, TimeoutTitle in gui/report.h).
inline constexpr char InfoTitle[] = "Info";

// clang-format off
inline constexpr char InfoEditConnect[] =
    " Select a serial COM-PORT.";

inline constexpr char InfoButtonSend[] =
    " All the parameters of the PC-User-Interface are transferred to the sensor or to a selectable file.                           \n"
    " The target of the parameter transfer is determined by the select button (RAM, EE, FILE).                           \n"
    " Shortcut Key: F9. ";

inline constexpr char InfoButtonGet[] =
    " Sensor or file parameters are transferred to the PC-User-Interface.                          \n"
    " The source of the parameter transfer is determined by the select button (RAM, EE, FILE).                          \n"
    " Shortcut Key: F10. ";

inline constexpr char InfoButtonGo[] =
    " Starts data transfer sensor to PC.                         \n"
    " The data are shown in the displays and in the graph.                        \n"
    " Shortcut Key: F11. ";

inline constexpr char InfoButtonStop[] =
    " Stops data transfer from sensor to PC.                        \n"
    " Shortcut Key: F12. ";

inline constexpr char InfoButtonGetBuff[] =
    " When the sensor detects an edge, a search for the minimum NORM value is performed until                              \n"
    " the end of the DEAD TIME(TRIGGER=CONT) or the ACTIVE TIME(TRIGGER=EXT) and during HOLD.                              \n"
    " This minimum value is stored in a 16-value JUMP BUFFER that can be read out with                              \n"
    " the GETBUFF button. Based on these VALUES, the optimum THRESHOLD can be set.                              \n"
    " Shortcut Key: F8. ";

inline constexpr char InfoSelectMEM[] =
    " Select the source respectively the target for the parameter transfer.";

inline constexpr char InfoSwitchPara[] =
    " Hide or show additional parameters.";

inline constexpr char InfoSelectSource[] =
    " Select a signal to be displayed in the graph.";

inline constexpr char InfoEditThreshold[] =
    " Indicator field for the THRESHOLD.                             \n"
    " The NORM value of the two RAW signals must drop below a                             \n"
    " certain THRESHOLD during measurement to initiate a counting event.                             \n"
    " The sensor sensitivity increases with a higher TRESHOLD.                             \n"
    " The HEX switch is used to set the THRESHOLD ";

inline constexpr char InfoEditHysteresis[] =
    " Indicator field for the HYSTERESIS.                               \n"
    " The NORM value of the two RAW signals must drop below a                               \n"
    " certain THRESHOLD during measurement to initiate a counting event.                               \n"
    " After that, the NORM value must again lie above the value HYSTERESIS                               \n"
    " to allow renewed edge detection.                               \n"
    " The HEX switch is used to set a certain HYSTERESIS.                               \n"
    " This is a safety feature to suppress multiple counting arround the THRESHOLD.";

inline constexpr char InfoEditTrigger[] =
    " Select the trigger mode for the sensor.                            \n"
    " EXT : An ACTIVE window is set for the sensor by IN0 and IN1.                            \n"
    " The sensor measures during its ACTIVE time and if it detects an edge, an                            \n"
    " output pulse is provided after the ACTIVE window is closed. (see manual)                            \n"
    " CONT: Measurement is performed continuously.";

inline constexpr char InfoEditPmod[] =
    " Select the operating mode of automatic power correction at the transmitter unit.                         \n"
    " STAT: Transmitter power is constantly kept at the POWER value.                         \n"
    " DYN : Transmitter power is dynamically tuned in accordance with the amount of radiation that                         \n"
    "       is diffusely reflected from the target. Sensor should not exceed the dynamic range.                         \n"
    "       (recommended mode).";

inline constexpr char InfoEditPower[] =
    " Select the intensity of the transmitter LED, if PMOD=FIX.                          \n"
    " 0% = no intensity,  100% = full intensity.";

inline constexpr char InfoEditHold[] =
    " Indicator field for HOLD.                         \n"
    " Pulse length of output OUT0.                         \n"
    " DIP2, DIP3 and DIP4 are used to select HOLD.";

inline constexpr char InfoEditBacklim[] =
    " Select an intensity limit.                            \n"
    " If the intensity that arrives at the receiver unit DAT0 falls below this limit,                            \n"
    " no evaluation will be performed. ";

inline constexpr char InfoEditRegcnt[] =
    "This EDIT-BOX serves for setting after how many main-loop runs a dynamic                          \n"
    " laser diode correction should be performed, if PMOD=DYN. (see manual) ";

inline constexpr char InfoEditAverage[] =
    " Select the number of scanning values (measurement values) over which the NORM signal is averaged.";

inline constexpr char InfoEditOutmode[] =
    " Select how to output the output pulse at OUT0.                            \n"
    " DIRECT  : When a counting event occurs, output OUT0 changes from LOW (0V)                            \n"
    " to HIGH (+24V), until HOLD is over.                            \n"
    " INVERSE : When a counting event occurs, output OUT0 changes from HIGH (+24V)                            \n"
    " to LOW (0V), until HOLD is over. ";

inline constexpr char InfoEditDeadTimeMode[] =
    " Indicator field for theDEAD TIME MODE.                                 \n"
    " Set the sensor dead (blind) for a certain time (see manual).                                 \n"
    " DIP1 is used to select the DEAD TIME MODE.";

inline constexpr char InfoEditDeadTime[] =
    " Indicator field for the DEAD TIME of the sensor (see manual).                             \n"
    " DIP5, DIP6, DIP7 and DIP8 are used to select a DEAD TIME.";

inline constexpr char InfoDispDat0[] =
    " Displays the RAW value of the the receiver DAT0. ";

inline constexpr char InfoDispDat1[] =
    " Displays the RAW value of the the receiver DAT1. ";

inline constexpr char InfoDispNORM[] =
    " Displays the NORM value calculated from DAT0 and DAT1.                         \n"
    " Formula for calculation: NORM = (DAT0*255)/(DAT0+DAT1) ";

inline constexpr char InfoDispEDGE[] =
    " Display used for adjustment of external sensors to generate an                         \n"
    " ACTIVE window when TRIGGER=EXT is selected. (see manual) ";

inline constexpr char InfoDispWIN[] =
    " Display used for adjustment of external sensors to generate an                        \n"
    " ACTIVE window when TRIGGER=EXT is selected. (see manual) ";

inline constexpr char InfoStatus[] =
    " Displays serial interface status messages.";

inline constexpr char InfoGraph[] =
    " Displays a signal selected with SOURCE.";

inline constexpr char InfoGraphData1[] =
    " When the sensor detects an edge, a search for the minimum NORM value is performed until                           \n"
    " the end of the DEAD TIME(TRIGGER=CONT) or the ACTIVE TIME(TRIGGER=EXT) and during HOLD.                           \n"
    " This minimum value is stored in a 16-value JUMP BUFFER that can be read out with                           \n"
    " the GETBUFF button. Based on these VALUES, the optimum THRESHOLD can be set.                           \n"
    " The 16-value JUMP BUFFER is shown in this graph. ";

inline constexpr char InfoGraphData2[] =
    " If TRIGGER=ADJ EXT is selected, the sensor records the time from one positiv edge                           \n"
    " at IN0 to the next positive edge at IN0 and valuates this time to 100%.                           \n"
    " The value of 100 on the x-axis corresponds wiht 100% (time from IN0 to IN0).                           \n"
    " The red graph visualises the length of the ACTIVE window in percent of the time between IN0 and IN0.                           \n"
    " The blue graph visualises the appearance of an edge in percent of the time between IN0 and IN0.                           \n"
    " In practice, the ACTIVE window should be open approx. 60% of IN0 to IN0. The edge should lie in the                           \n"
    " middle of the active window (30%).";

// clang-format on

// A control whose right click shows one fixed text.
struct HelpEntry {
    const char* callback; // name of the control's callback
    int control;          // PANEL_* id the callback is bound to
    const char* text;
};

inline constexpr auto HelpTable = std::to_array<HelpEntry>({
    {"CBF_EditConnect", PANEL_COM, InfoEditConnect},
    {"CBF_ButtonSend", PANEL_SEND, InfoButtonSend},
    {"CBF_ButtonGet", PANEL_GET, InfoButtonGet},
    {"CBF_ButtonGo", PANEL_GO, InfoButtonGo},
    {"CBF_ButtonStop", PANEL_STOP, InfoButtonStop},
    {"CBF_ButtonGetBuff", PANEL_GETBUFF, InfoButtonGetBuff},
    {"CBF_SelectRAM", PANEL_RAM, InfoSelectMEM},
    {"CBF_SelectEEPROM", PANEL_EEPROM, InfoSelectMEM},
    {"CBF_SelectFILE", PANEL_FILE, InfoSelectMEM},
    {"CBF_ParaVisible", PANEL_PARA, InfoSwitchPara},
    {"CBF_SelectSource", PANEL_SOURCE, InfoSelectSource},
    {"CBF_EditThreshold", PANEL_THRESHOLD, InfoEditThreshold},
    {"CBF_EditHysteresis", PANEL_HYSTERESIS, InfoEditHysteresis},
    {"CBF_EditTrigger", PANEL_TRIGGER, InfoEditTrigger},
    {"CBF_EditPmod", PANEL_PMOD, InfoEditPmod},
    {"CBF_EditPower", PANEL_POWER, InfoEditPower},
    {"CBF_EditHold", PANEL_HOLD, InfoEditHold},
    {"CBF_EditBacklim", PANEL_BACKLIM, InfoEditBacklim},
    {"CBF_EditRegcnt", PANEL_REGCNT, InfoEditRegcnt},
    {"CBF_EditAverage", PANEL_AVERAGE, InfoEditAverage},
    {"CBF_EditOutmode", PANEL_OUTMODE, InfoEditOutmode},
    {"CBF_EditDeadTimeMode", PANEL_DEADTIMEMODE, InfoEditDeadTimeMode},
    {"CBF_EditDeadTime", PANEL_DEADTIME, InfoEditDeadTime},
    {"CBF_DispDat0", PANEL_DAT0, InfoDispDat0},
    {"CBF_DispDat1", PANEL_DAT1, InfoDispDat1},
    {"CBF_DispNORM", PANEL_NORM, InfoDispNORM},
    {"CBF_DispEdge", PANEL_EDGE, InfoDispEDGE},
    {"CBF_DispWin", PANEL_WIN, InfoDispWIN},
    {"CBF_DispStatus", PANEL_STATUS, InfoStatus},
    {"CBF_GraphRaw1", PANEL_STRIPCHART, InfoGraph},
    {"CBF_GraphData1", PANEL_GRAPH_JMPBUF, InfoGraphData1},
    {"CBF_GraphData2", PANEL_GRAPH_ADJ, InfoGraphData2},
});

// The six decorations frame positions that the basic and the additional parameter group share;
// their help follows the group on show.
struct DecoHelpEntry {
    const char* callback;
    int control;
    const char* basic;      // para == 1
    const char* additional; // any other para
};

inline constexpr auto DecoHelpTable = std::to_array<DecoHelpEntry>({
    {"CBF_DECO1", PANEL_DECO1, InfoEditThreshold, InfoEditBacklim},
    {"CBF_DECO2", PANEL_DECO2, InfoEditHysteresis, InfoEditRegcnt},
    {"CBF_DECO3", PANEL_DECO3, InfoEditTrigger, InfoEditAverage},
    {"CBF_DECO4", PANEL_DECO4, InfoEditHold, InfoEditOutmode},
    {"CBF_DECO5", PANEL_DECO5, InfoEditPmod, InfoEditDeadTimeMode},
    {"CBF_DECO6", PANEL_DECO6, InfoEditPower, InfoEditDeadTime},
});

// Help text of a control of HelpTable; nullptr when it has none there.
constexpr const char* HelpTextOf(int control) {
    for (const HelpEntry& e : HelpTable) {
        if (e.control == control) {
            return e.text;
        }
    }
    return nullptr;
}

// Help text of a decoration for the group selected by para (1 basic, anything else additional);
// nullptr for a control that is not one of the six decorations.
constexpr const char* DecoHelpTextOf(int control, int para) {
    for (const DecoHelpEntry& e : DecoHelpTable) {
        if (e.control == control) {
            return para == 1 ? e.basic : e.additional;
        }
    }
    return nullptr;
}

} // namespace zurid
