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
    return core::PowerPercentToCode(percent);
}

unsigned char PowerCodeToPercent(unsigned char code) {
    return static_cast<unsigned char>(core::PowerCodeToPercent(code) & 0xFF);
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
