#include "gui/params.h"

#include "core/params.h"
#include "gui/state.h"
#include "link/blocks.h"
#include "platform/ui/Dovarid10.h"
#include "platform/ui/userint.h"

#include <array>
#include <string>

namespace zurid {

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
    if (power <= core::kPowerMaxCode) {
        SetCtrlVal(panel, PANEL_POWER, static_cast<int>(PowerCodeToPercent(power)));
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
    return core::PowerPercentToCode(percent);
}

unsigned char PowerCodeToPercent(unsigned char code) {
    return static_cast<unsigned char>(core::PowerCodeToPercent(code) & 0xFF);
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
    const auto labels = core::DeadTimeLabels(deadtimemode);
    for (int i = 0; i < core::kDeadTimeCodes; ++i) {
        ReplaceListItem(panel, PANEL_DEADTIME, i, std::string(labels[i]).c_str(), i);
    }
}

void ParaVis() {
    ShowGroups(additionalGroup, basicGroup);
}

void ParaInVis() {
    ShowGroups(basicGroup, additionalGroup);
}

} // namespace zurid
