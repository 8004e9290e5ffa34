#include "gui/paramfile.h"

#include "core/paramfile.h"
#include "gui/params.h"
#include "gui/report.h"
#include "gui/state.h"
#include "link/blocks.h"
#include "platform/serial/utility.h"
#include "platform/ui/userint.h"

#include <array>
#include <string>

using namespace zurid::platform;

namespace zurid {

namespace {

// Both dialogs open in proj_dir with "init.dat" proposed, .dat files only.
bool ChooseFile() {
    return FileSelectPopup(proj_dir.c_str(), "init.dat", "*.dat", "init", 0, 0, 1, 1, 1,
                           &file_name) > 0;
}

void ReportFileProblem(const char* what) {
    const std::string text = std::string(what) + "\n" + LastFileError();
    MessagePopup(TimeoutTitle, text.c_str());
}

} // namespace

void SendParaToFile() {
    if (!ChooseFile()) {
        return;
    }
    GetPanelValues();
    CopyVarsToPP();
    // The file is replaced all at once; a failed write keeps the previous file and says so.
    if (ArrayToFile(file_name.c_str(), pp.data(), VAL_UNSIGNED_CHAR, AnzPara, 1, 0, 0, 0,
                    static_cast<int>(core::kParamFileFieldWidth), 1, 0) < 0) {
        ReportFileProblem("The parameter file could not be written.");
    }
}

void ReadParaFromFile() {
    if (!ChooseFile()) {
        return;
    }
    // A file that is not exactly fifteen values 0-255 is refused whole: the panel keeps the
    // operator's set instead of showing a half-read one.
    std::array<unsigned char, AnzPara> block{};
    if (FileToArray(file_name.c_str(), block.data(), VAL_UNSIGNED_CHAR, AnzPara, 1, 0, 0, 1) < 0) {
        ReportFileProblem("The parameter file was not loaded.");
        return;
    }
    pp = block;
    CopyPPtoVars();
    SetPanelValues();
    InitPanelValues();
}

} // namespace zurid
