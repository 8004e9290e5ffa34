#include "gui/report.h"

#include "gui/state.h"
#include "platform/ui/Dovarid10.h"
#include "platform/ui/userint.h"

namespace zurid {

const char InfoTimeout[] = " ATTENTION! \n \n TIMEOUT \n NO SERIAL CONNECTION TO SENSOR";

void ReportTimeout() {
    SetCtrlVal(panel, PANEL_STATUS, "TIMEOUT");
    MessagePopup(TimeoutTitle, InfoTimeout);
}

void ReportUnjournaled(const std::string& why) {
    szStatus = why;
    SetCtrlVal(panel, PANEL_STATUS, szStatus);
    MessagePopup(TimeoutTitle, why.c_str());
}

} // namespace zurid
