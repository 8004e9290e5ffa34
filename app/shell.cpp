#include "app/shell.h"

#include "branding/logo.h"
#include "gui/livedata.h"
#include "gui/params.h"
#include "gui/state.h"
#include "gui/transfer.h"
#include "platform/serial/rs232.h"
#include "platform/serial/utility.h"
#include "platform/ui/Dovarid10.h"

namespace zurid {

bool quitRequested = false;

void InitVars() {
    com = 1;
    order = 1;
    target = RAM;
    poll = 0;
    szStatus = "InitVars";
    SetCtrlVal(panel, PANEL_STATUS, szStatus);
    SetCtrlVal(panel, PANEL_PARA, 1);
    GetCtrlVal(panel, PANEL_PARA, &para);
    ParaVis();
    DispVis();
    ShowLogo(5);
    GetPanelValues();
}

void ShowLogo(int variant) {
    ShowLogo(panel, variant);
}
void ShowInfoText1(const char* text, int left, int top, int size) {
    ShowInfoText1(panel, text, left, top, size);
}
void ShowInfoText2(const char* text, int left, int top, int size) {
    ShowInfoText2(panel, text, left, top, size);
}
void ShowInfoText3(const char* text, int left, int top, int size) {
    ShowInfoText3(panel, text, left, top, size);
}
void ShowInfoText4(const char* text, int left, int top, int size) {
    ShowInfoText4(panel, text, left, top, size);
}

int CBF_P(int /*pnl*/, int event, void* /*callbackData*/, int /*eventData1*/, int /*eventData2*/) {
    if (event == EVENT_CLOSE) {
        poll = 0;
        quitRequested = true;
        QuitUserInterface(0);
    }
    return 0;
}

int StartUp(int& argc, char** argv) {
    if (InitToolkit(argc, argv) == 0) {
        return -1;
    }
    RegisterCallbacks(CallbackTable());
    panel = LoadPanel(0, "Dovarid10.uir", PANEL);
    if (panel < 0) {
        return -1;
    }
    // Resources come from the program's directory. The file dialogs open there only when the
    // program runs from its build directory (and may write there), otherwise in the home
    // directory: an installed bin/ is no place for parameter files.
    proj_dir = platform::GetUserFileDir();
    quitRequested = false;
    InitVars();
    InitRS232(com);
    DisplayPanel(panel);
    return 0;
}

void ShutDown() {
    platform::CloseCom(com);
    DiscardPanel(panel);
}

int RunProgram(int& argc, char** argv) {
    if (StartUp(argc, argv) != 0) {
        return -1;
    }
    RunUserInterface();
    ShutDown();
    return 0;
}

} // namespace zurid
