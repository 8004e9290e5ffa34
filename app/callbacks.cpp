// The control callbacks: thin dispatchers from an event and the state (target, para) to the
// transaction or view that does the work. A right click on any control shows its help.
#include "app/helptexts.h"
#include "app/shell.h"
#include "core/protocol.h"
#include "gui/livedata.h"
#include "gui/paramfile.h"
#include "gui/params.h"
#include "gui/state.h"
#include "gui/transfer.h"
#include "link/frames.h"
#include "platform/serial/rs232.h"
#include "platform/ui/Dovarid10.h"

#include <algorithm>
#include <string_view>
#include <vector>

namespace zurid {

namespace {

void ShowHelp(int control) {
    if (const char* text = HelpTextOf(control)) {
        MessagePopup(InfoTitle, text);
    }
}

// The pause in front of Get, Go and GetBuff. False when the operator closed the window
// meanwhile: the command is then not started, so that the program can end.
bool SettleDelay() {
    EventDelay(core::SettleSeconds(target == EEPROM));
    return !quitRequested;
}

// One memory selector switched by the operator: on selects its memory and switches the other
// two off; off falls back to RAM.
void SelectMemory(int pnl, int control, int memory, int firstOff, int secondOff) {
    int on = 0;
    GetCtrlVal(pnl, control, &on);
    if (on == 1) {
        SetCtrlVal(pnl, control, 1);
        target = memory;
        SetCtrlVal(pnl, firstOff, 0);
        SetCtrlVal(pnl, secondOff, 0);
    } else {
        target = RAM;
        SetCtrlVal(pnl, PANEL_RAM, 1);
    }
}

} // namespace

int CBF_EditConnect(int pnl, int control, int event, void*, int, int) {
    if (event == EVENT_COMMIT) {
        poll = 0;
        platform::CloseCom(com);
        GetCtrlVal(pnl, PANEL_COM, &com);
        SetCtrlVal(pnl, PANEL_STATUS, "Init COM-Port ...");
        InitRS232(com);
    } else if (event == EVENT_RIGHT_CLICK) {
        ShowHelp(control);
    }
    return 0;
}

int CBF_ButtonSend(int, int control, int event, void*, int, int) {
    if (event == EVENT_COMMIT) {
        if (target == DATFILE) {
            SendParaToFile();
        } else {
            SendPara();
        }
    } else if (event == EVENT_RIGHT_CLICK) {
        ShowHelp(control);
    }
    return 0;
}

int CBF_ButtonGet(int, int control, int event, void*, int, int) {
    if (event == EVENT_COMMIT) {
        if (!SettleDelay()) {
            return 0;
        }
        if (target == DATFILE) {
            ReadParaFromFile();
        } else {
            GetPara();
        }
    } else if (event == EVENT_RIGHT_CLICK) {
        ShowHelp(control);
    }
    return 0;
}

int CBF_ButtonGo(int, int control, int event, void*, int, int) {
    if (event == EVENT_COMMIT) {
        if (SettleDelay()) {
            GetData();
        }
    } else if (event == EVENT_RIGHT_CLICK) {
        ShowHelp(control);
    }
    return 0;
}

int CBF_ButtonStop(int, int control, int event, void*, int, int) {
    if (event == EVENT_COMMIT) {
        poll = 0;
    } else if (event == EVENT_RIGHT_CLICK) {
        ShowHelp(control);
    }
    return 0;
}

int CBF_ButtonGetBuff(int, int control, int event, void*, int, int) {
    if (event == EVENT_COMMIT) {
        if (SettleDelay()) {
            GetJmpBuf();
        }
    } else if (event == EVENT_RIGHT_CLICK) {
        ShowHelp(control);
    }
    return 0;
}

int CBF_SelectRAM(int pnl, int control, int event, void*, int, int) {
    if (event == EVENT_VAL_CHANGED) {
        SelectMemory(pnl, PANEL_RAM, RAM, PANEL_EEPROM, PANEL_FILE);
    } else if (event == EVENT_RIGHT_CLICK) {
        ShowHelp(control);
    }
    return 0;
}

int CBF_SelectEEPROM(int pnl, int control, int event, void*, int, int) {
    if (event == EVENT_VAL_CHANGED) {
        SelectMemory(pnl, PANEL_EEPROM, EEPROM, PANEL_RAM, PANEL_FILE);
    } else if (event == EVENT_RIGHT_CLICK) {
        ShowHelp(control);
    }
    return 0;
}

int CBF_SelectFILE(int pnl, int control, int event, void*, int, int) {
    if (event == EVENT_VAL_CHANGED) {
        SelectMemory(pnl, PANEL_FILE, DATFILE, PANEL_EEPROM, PANEL_RAM);
    } else if (event == EVENT_RIGHT_CLICK) {
        ShowHelp(control);
    }
    return 0;
}

int CBF_ParaVisible(int pnl, int control, int event, void*, int, int) {
    if (event == EVENT_COMMIT) {
        GetCtrlVal(pnl, PANEL_PARA, &para);
        if (para == 0) {
            ParaInVis();
        } else {
            ParaVis();
        }
    } else if (event == EVENT_RIGHT_CLICK) {
        ShowHelp(control);
    }
    return 0;
}

int CBF_SelectSource(int, int control, int event, void*, int, int) {
    if (event == EVENT_COMMIT) {
        DispVis();
    } else if (event == EVENT_RIGHT_CLICK) {
        ShowHelp(control);
    }
    return 0;
}

int CBF_EditPmod(int pnl, int control, int event, void*, int, int) {
    if (event == EVENT_COMMIT) {
        GetCtrlVal(pnl, PANEL_PMOD, &pmod);
        ApplyPmodDimming(pnl, pmod);
    } else if (event == EVENT_RIGHT_CLICK) {
        ShowHelp(control);
    }
    return 0;
}

// Parameter editors, displays, graphs and the status line: help is their only job.
int CBF_HelpOnly(int, int control, int event, void*, int, int) {
    if (event == EVENT_RIGHT_CLICK) {
        ShowHelp(control);
    }
    return 0;
}

// The six decorations: the help of the parameter now on show at their place.
int CBF_DECO(int, int control, int event, void*, int, int) {
    if (event != EVENT_RIGHT_CLICK) {
        return 0;
    }
    if (const char* text = DecoHelpTextOf(control, para)) {
        MessagePopup(InfoTitle, text);
    }
    return 0;
}

std::span<const CallbackEntry> CallbackTable() {
    static const std::vector<CallbackEntry> table = [] {
        std::vector<CallbackEntry> t = {
            {"CBF_P", nullptr, CBF_P},
            {"CBF_EditConnect", CBF_EditConnect, nullptr},
            {"CBF_ButtonSend", CBF_ButtonSend, nullptr},
            {"CBF_ButtonGet", CBF_ButtonGet, nullptr},
            {"CBF_ButtonGo", CBF_ButtonGo, nullptr},
            {"CBF_ButtonStop", CBF_ButtonStop, nullptr},
            {"CBF_ButtonGetBuff", CBF_ButtonGetBuff, nullptr},
            {"CBF_SelectRAM", CBF_SelectRAM, nullptr},
            {"CBF_SelectEEPROM", CBF_SelectEEPROM, nullptr},
            {"CBF_SelectFILE", CBF_SelectFILE, nullptr},
            {"CBF_ParaVisible", CBF_ParaVisible, nullptr},
            {"CBF_SelectSource", CBF_SelectSource, nullptr},
            {"CBF_EditPmod", CBF_EditPmod, nullptr},
        };
        // Every other control of the help table only shows its help.
        const auto working = [&t](const char* name) {
            return std::any_of(t.begin(), t.end(), [name](const CallbackEntry& c) {
                return std::string_view(c.name) == name;
            });
        };
        for (const HelpEntry& e : HelpTable) {
            if (!working(e.callback)) {
                t.push_back({e.callback, CBF_HelpOnly, nullptr});
            }
        }
        for (const DecoHelpEntry& e : DecoHelpTable) {
            t.push_back({e.callback, CBF_DECO, nullptr});
        }
        return t;
    }();
    return table;
}

} // namespace zurid
