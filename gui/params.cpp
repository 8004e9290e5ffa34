#include "gui/params.h"

#include "link/blocks.h"
#include "link/state.h"
#include "platform/ui/Dovarid10.h"
#include "platform/ui/userint.h"

#include <array>
#include <string>

namespace zurid {

const char* const DeadTimePercent[16] = {"0",  "6",  "12", "18", "24", "30", "36", "42",
                                         "48", "54", "60", "66", "72", "78", "84", "90"};
const char* const DeadTimeMs[16] = {"0",  "2",  "4",  "6",  "8",  "10", "12", "14",
                                    "16", "18", "20", "22", "24", "26", "28", "30"};

namespace {

struct Binding {
    int control;
    unsigned char* variable;
    bool ring;
};

// The bound controls in the order in which the panel is read and written.
const std::array<Binding, 12> bindings = {{
    {PANEL_THRESHOLD, &threshold, false},
    {PANEL_HYSTERESIS, &hysteresis, false},
    {PANEL_TRIGGER, &trigger, true},
    {PANEL_PMOD, &pmod, true},
    {PANEL_POWER, &power, false},
    {PANEL_HOLD, &hold, true},
    {PANEL_BACKLIM, &backlim, false},
    {PANEL_REGCNT, &regcnt, false},
    {PANEL_AVERAGE, &average, true},
    {PANEL_OUTMODE, &outmode, true},
    {PANEL_DEADTIMEMODE, &deadtimemode, true},
    {PANEL_DEADTIME, &deadtime, true},
}};

// A code read that the panel has no item or percent for is shown as unknown and goes back
// unchanged unless the operator picks a known value: a ring gets an extra last item "? N"
// until the next set is shown, POWER shows "? code N" in place of a percent.
const std::string kUnknownMark = "? ";
unsigned char unknownPowerCode = 0;

void ShowRingCode(int control, unsigned char code) {
    int count = 0;
    GetNumListItems(panel, control, &count);
    std::string last;
    GetLabelFromIndex(panel, control, count - 1, &last);
    if (last.starts_with(kUnknownMark)) {
        DeleteListItem(panel, control, count - 1, 1);
    }
    if (SetCtrlVal(panel, control, static_cast<int>(code)) < 0) {
        const std::string label = kUnknownMark + std::to_string(code);
        InsertListItem(panel, control, -1, label.c_str(), code);
        SetCtrlVal(panel, control, static_cast<int>(code));
    }
}

void ShowPower() {
    const unsigned char pct = PowerCodeToPercent(power);
    if (pct <= 100 && PowerPercentToCode(pct) == power) {
        SetCtrlVal(panel, PANEL_POWER, static_cast<int>(pct));
        return;
    }
    unknownPowerCode = power;
    const std::string text = kUnknownMark + "code " + std::to_string(power);
    SetCtrlNoValue(panel, PANEL_POWER, text.c_str());
}

unsigned char PowerOnPanel() {
    int pct = 0;
    GetCtrlVal(panel, PANEL_POWER, &pct);
    // Below the 0-100 range: the unknown code is still selected.
    return pct < 0 ? unknownPowerCode : PowerPercentToCode(static_cast<unsigned char>(pct));
}

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
        if (b.variable == &power) {
            power = PowerOnPanel();
        } else {
            GetCtrlVal(panel, b.control, b.variable);
        }
    }
}

void SetPanelValues() {
    for (const Binding& b : bindings) {
        if (b.variable == &power) {
            ShowPower();
        } else if (b.ring) {
            ShowRingCode(b.control, *b.variable);
        } else {
            SetCtrlVal(panel, b.control, static_cast<int>(*b.variable));
        }
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
