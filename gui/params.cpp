#include "gui/params.h"

#include "link/blocks.h"
#include "link/state.h"
#include "platform/ui/Dovarid10.h"
#include "platform/ui/userint.h"

#include <array>

namespace zurid {

const char* const DeadTimePercent[16] = {"0",  "6",  "12", "18", "24", "30", "36", "42",
                                         "48", "54", "60", "66", "72", "78", "84", "90"};
const char* const DeadTimeMs[16] = {"0",  "2",  "4",  "6",  "8",  "10", "12", "14",
                                    "16", "18", "20", "22", "24", "26", "28", "30"};

namespace {

struct Binding {
    int control;
    unsigned char* variable;
};

// The bound controls in the order in which the panel is read and written.
const std::array<Binding, 12> bindings = {{
    {PANEL_THRESHOLD, &threshold},
    {PANEL_HYSTERESIS, &hysteresis},
    {PANEL_TRIGGER, &trigger},
    {PANEL_PMOD, &pmod},
    {PANEL_POWER, &power},
    {PANEL_HOLD, &hold},
    {PANEL_BACKLIM, &backlim},
    {PANEL_REGCNT, &regcnt},
    {PANEL_AVERAGE, &average},
    {PANEL_OUTMODE, &outmode},
    {PANEL_DEADTIMEMODE, &deadtimemode},
    {PANEL_DEADTIME, &deadtime},
}};

constexpr std::array<int, 6> basicGroup = {PANEL_THRESHOLD, PANEL_HYSTERESIS, PANEL_TRIGGER,
                                           PANEL_PMOD,      PANEL_POWER,      PANEL_HOLD};
constexpr std::array<int, 6> additionalGroup = {PANEL_BACKLIM, PANEL_REGCNT,       PANEL_AVERAGE,
                                                PANEL_OUTMODE, PANEL_DEADTIMEMODE, PANEL_DEADTIME};

void ShowGroups(const std::array<int, 6>& hide, const std::array<int, 6>& show) {
    for (int control : hide) {
        SetCtrlAttribute(panel, control, ATTR_VISIBLE, 0);
    }
    for (int control : show) {
        SetCtrlAttribute(panel, control, ATTR_VISIBLE, 1);
    }
}

} // namespace

unsigned char PowerPercentToCode(unsigned char percent) {
    const int code = 46 - (percent * 46) / 100;
    return static_cast<unsigned char>(code & 0xFF);
}

unsigned char PowerCodeToPercent(unsigned char code) {
    const int scaled = (46 - code) * 100;
    int pct = scaled / 46; // truncates toward zero
    if (scaled > 0 && scaled % 46 != 0) {
        ++pct; // round up
    }
    return static_cast<unsigned char>(pct & 0xFF);
}

void GetPanelValues() {
    for (const Binding& b : bindings) {
        GetCtrlVal(panel, b.control, b.variable);
        if (b.variable == &power) {
            power = PowerPercentToCode(power);
        }
    }
}

void SetPanelValues() {
    for (const Binding& b : bindings) {
        const unsigned char shown = b.variable == &power ? PowerCodeToPercent(power) : *b.variable;
        SetCtrlVal(panel, b.control, static_cast<int>(shown));
    }
}

void ApplyPmodDimming(int pnl, unsigned char pmodValue) {
    const int dimPower = pmodValue == 0 ? 0 : 1;
    SetCtrlAttribute(pnl, PANEL_POWER, ATTR_DIMMED, dimPower);
    SetCtrlAttribute(pnl, PANEL_REGCNT, ATTR_DIMMED, 1 - dimPower);
}

void InitPanelValues() {
    GetCtrlVal(panel, PANEL_PMOD, &pmod);
    ApplyPmodDimming(panel, pmod);
    GetCtrlVal(panel, PANEL_DEADTIMEMODE, &deadtimemode);
    const bool percent = deadtimemode == 0;
    SetCtrlAttribute(panel, PANEL_DEADTIME, ATTR_LABEL_TEXT,
                     percent ? "DEAD TIME[%]" : "DEAD TIME[ms]");
    const char* const* table = percent ? DeadTimePercent : DeadTimeMs;
    for (int i = 0; i < 16; ++i) {
        ReplaceListItem(panel, PANEL_DEADTIME, i, table[i], i);
    }
}

void ParaVis() {
    ShowGroups(additionalGroup, basicGroup);
}

void ParaInVis() {
    ShowGroups(basicGroup, additionalGroup);
}

} // namespace zurid
