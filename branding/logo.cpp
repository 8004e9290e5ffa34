#include "branding/logo.h"

#include "platform/ui/Dovarid10.h"
#include "platform/ui/userint.h"

#include <array>

namespace zurid {

namespace {

constexpr char Caption[] = "TAVRIN-Zurid V1.0";

// Background and text colour of the four line styles.
struct TextStyle {
    int background;
    int color;
};

constexpr auto Styles = std::to_array<TextStyle>({
    {0xFFFFFF, 0x808080},
    {0xFFFFFF, 0x000000},
    {VAL_TRANSPARENT, 0xFFFFFF},
    {0x0080FF, 0xFFFFFF},
});

void ShowInfoText(int panel, int style, const char* text, int left, int top, int size) {
    const TextStyle& s = Styles[static_cast<std::size_t>(style - 1)];
    const int id = NewCtrl(panel, CTRL_TEXT_MSG, "", top, left);
    SetCtrlAttribute(panel, id, ATTR_TEXT_FONT, "NIApp");
    SetCtrlAttribute(panel, id, ATTR_TEXT_BGCOLOR, s.background);
    SetCtrlAttribute(panel, id, ATTR_TEXT_COLOR, s.color);
    SetCtrlAttribute(panel, id, ATTR_TEXT_POINT_SIZE, size);
    SetCtrlVal(panel, id, text);
}

using InfoTextRoutine = void (*)(int, const char*, int, int, int);
constexpr std::array<InfoTextRoutine, 4> Routines{ShowInfoText1, ShowInfoText2, ShowInfoText3,
                                                  ShowInfoText4};

struct Variant {
    int frameColor;
    int pictureTop;
    int pictureLeft;
    const char* bitmap; // nullptr: the picture keeps what the panel resource gives it
    int style;          // 1..4, for the caption and every further line
    int captionLeft;
    int captionTop;
    int captionSize;
};

// One fictional supplier per bitmap, named in the comments; the lines show what fits of its
// name, address, telephone and web address. Telephone numbers are from the ranges that the
// German numbering plan keeps free for fiction.
constexpr auto Variants = std::to_array<Variant>({
    {0xFFFFFF, 5, 640, nullptr, 2, 220, 20, 22},
    // Nordlicht Sensorik GmbH, Hafenstr. 12, 20457 Hamburg, 040 66969 101, www.nordlicht.example
    {0xFFFFFF, 5, 485, "logo1.png", 1, 220, 20, 22},
    // Brandt & Kessler, Kaiserstr. 8, 60311 Frankfurt, 069 90009 212, www.brandt-kessler.example
    {0xFFFFFF, 5, 540, "logo2.png", 2, 220, 20, 22},
    // Feldmark Optoelektronik, Mainkai 30, 60311 Frankfurt, 069 90009 303, www.feldmark.example
    {0xFFFFFF, 6, 415, "logo3.png", 1, 20, 16, 25},
    // Lenz Automation, Gutleutstr. 4, 60329 Frankfurt, 069 90009 404, www.lenz.example
    {0xFFFFFF, 6, 475, "logo4.png", 1, 20, 16, 25},
    // Azur Technik KG, Am Kai 7, 10115 Berlin, 030 23125 505, www.azur.example
    {0x0080FF, 6, 168, "logo5.png", 4, 218, 30, 18},
    // Kranich Elektronik GmbH, Spreeufer 6, 10178 Berlin, 030 23125 606, www.kranich.example
    {0xFFFFFF, 6, 445, "logo6.png", 2, 240, 25, 19},
    // Seidel Industrieoptik, Zeil 77, 60313 Frankfurt, 069 90009 707, www.seidel-optik.example
    {0xFFFFFF, 5, 495, "logo7.png", 1, 240, 20, 22},
    // Falk & Sohn Sensorik, Alsterdamm 8, 20099 Hamburg, 040 66969 808, www.falk-sohn.example
    {0xFFFFFF, 5, 435, "logo8.png", 1, 185, 20, 22},
    // Tiefsee Systemtechnik, Kehrwieder 9, 20457 Hamburg, 040 66969 909, www.tiefsee.example;
    // the white caption stands on its dark bitmap.
    {0xFFFFFF, 2, 5, "logo9.png", 3, 215, 20, 22},
    // Grauwert Messsysteme, Torstr. 10, 10119 Berlin, 030 23125 110, www.grauwert.example
    {0xFFFFFF, 6, 480, "logo10.png", 1, 20, 16, 25},
});

// The further lines of every variant, each variant's in the order they are created.
struct Line {
    int variant;
    int left;
    int top;
    int size;
    const char* text;
};

constexpr auto Lines = std::to_array<Line>({
    {1, 15, 13, 14, "Nordlicht Sensorik GmbH"},
    {1, 15, 32, 14, "www.nordlicht.example"},
    {2, 15, 21, 14, "Kaiserstr. 8, Frankfurt"},
    {2, 15, 37, 14, "Tel. 069 90009 212"},
    {2, 15, 5, 14, "Brandt & Kessler"},
    {5, 15, 5, 12, "Azur Technik KG, Berlin"},
    {5, 15, 20, 12, "Tel. 030 23125 505"},
    {5, 15, 35, 12, "www.azur.example"},
    {6, 15, 20, 10, "Spreeufer 6, 10178 Berlin"},
    {6, 15, 35, 10, "Tel. 030 23125 606  www.kranich.example"},
    {6, 15, 5, 10, "Kranich Elektronik GmbH"},
    {7, 15, 13, 14, "Seidel Industrieoptik"},
    {7, 15, 32, 14, "www.seidel-optik.example"},
    {8, 15, 13, 14, "Falk & Sohn Sensorik"},
    {8, 15, 32, 14, "Tel. 040 66969 808"},
});

} // namespace

void ShowInfoText1(int pnl, const char* text, int left, int top, int size) {
    ShowInfoText(pnl, 1, text, left, top, size);
}
void ShowInfoText2(int pnl, const char* text, int left, int top, int size) {
    ShowInfoText(pnl, 2, text, left, top, size);
}
void ShowInfoText3(int pnl, const char* text, int left, int top, int size) {
    ShowInfoText(pnl, 3, text, left, top, size);
}
void ShowInfoText4(int pnl, const char* text, int left, int top, int size) {
    ShowInfoText(pnl, 4, text, left, top, size);
}

void ShowLogo(int panel, int variant) {
    if (variant < 0 || variant >= static_cast<int>(Variants.size())) {
        return;
    }
    const Variant& v = Variants[static_cast<std::size_t>(variant)];
    SetCtrlAttribute(panel, PANEL_LOGO_FRAME, ATTR_FRAME_COLOR, v.frameColor);
    SetCtrlAttribute(panel, PANEL_LOGO, ATTR_TOP, v.pictureTop);
    SetCtrlAttribute(panel, PANEL_LOGO, ATTR_LEFT, v.pictureLeft);
    if (v.bitmap != nullptr) {
        // Looked up in the program's directory, beside the panel resource.
        DisplayImageFile(panel, PANEL_LOGO, v.bitmap);
    }
    const InfoTextRoutine show = Routines[static_cast<std::size_t>(v.style - 1)];
    show(panel, Caption, v.captionLeft, v.captionTop, v.captionSize);
    for (const Line& l : Lines) {
        if (l.variant == variant) {
            show(panel, l.text, l.left, l.top, l.size);
        }
    }
}

} // namespace zurid
