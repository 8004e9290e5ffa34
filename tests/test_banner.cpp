// The banner: ShowLogo's frame colour, picture position and bitmap, and the text lines it adds,
// checked on the real panel. Set ZURID_SHOT_DIR to keep a picture of every variant there.
#include "app/shell.h"
#include "branding/logo.h"
#include "gui/state.h"
#include "platform/serial/utility.h"
#include "platform/ui/Dovarid10.h"
#include "platform/ui/qtaccess.h"
#include "platform/ui/userint.h"

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QLabel>
#include <QList>
#include <QPixmap>
#include <QTest>

#include <string>

namespace {

constexpr int Blue = 0x0080FF;
constexpr int White = 0xFFFFFF;
constexpr char Caption[] = "TAVRIN-Zurid V1.0";

// A text line as the operator sees it.
struct Text {
    QRect rect;
    QString text;
    int size;
    int color;
    int background; // VAL_TRANSPARENT when the label paints no background
};

struct Place {
    int left;
    int top;
    int size;
};

int Rgb(const QColor& c) {
    return static_cast<int>(c.rgb() & 0xFFFFFF);
}

QList<QLabel*> Labels() {
    QList<QLabel*> labels;
    for (QObject* o : PanelWidget(zurid::panel)->children()) {
        if (auto* l = qobject_cast<QLabel*>(o)) {
            labels << l;
        }
    }
    return labels;
}

QLabel* Picture() {
    return qobject_cast<QLabel*>(CtrlWidget(zurid::panel, PANEL_LOGO));
}

int FrameColor() {
    int c = -1;
    GetCtrlAttribute(zurid::panel, PANEL_LOGO_FRAME, ATTR_FRAME_COLOR, &c);
    return c;
}

QImage BitmapFile(int variant) {
    std::string dir;
    zurid::platform::GetProjectDir(&dir);
    return QImage(
        QDir(QString::fromStdString(dir)).filePath(QStringLiteral("logo%1.png").arg(variant)));
}

// Draws `variant` and returns the text lines it added, in the order they were created.
QList<Text> Show(int variant) {
    const QList<QLabel*> before = Labels();
    zurid::ShowLogo(variant);
    QList<Text> added;
    for (QLabel* l : Labels()) {
        if (!before.contains(l)) {
            const int bg = l->autoFillBackground() ? Rgb(l->palette().color(QPalette::Window))
                                                   : VAL_TRANSPARENT;
            added << Text{l->geometry(), l->text(), l->font().pixelSize(),
                          Rgb(l->palette().color(QPalette::WindowText)), bg};
        }
    }
    return added;
}

QImage Grab(int variant) {
    QWidget* w = PanelWidget(zurid::panel);
    const QImage shot = w->grab().toImage();
    const QByteArray dir = qgetenv("ZURID_SHOT_DIR");
    if (!dir.isEmpty()) {
        shot.save(QStringLiteral("%1/banner%2.png").arg(QString::fromLocal8Bit(dir)).arg(variant));
    }
    return shot;
}

// Two texts clash when their boxes share more than the bottom pixel row of one of them: the
// positions place some lines one pixel closer than the box of the line above is high, and
// that row lies below the descenders.
bool Clash(const QRect& a, const QRect& b) {
    return a.intersected(b).height() > 1;
}

bool HasPixel(const QImage& image, const QRect& area, int rgb) {
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            if (Rgb(image.pixelColor(x, y)) == rgb) {
                return true;
            }
        }
    }
    return false;
}

} // namespace

class TestBanner : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase();
    void init();
    void cleanup();
    void variant5IsWhiteOnBlue();
    void variant0HasCaptionOnly();
    void variant9PutsCaptionOnBitmap();
    void outOfRangeChangesNothing();
    void everyVariantFitsTheBand_data();
    void everyVariantFitsTheBand();

  private:
    void checkLines(const QList<Text>& lines, const QList<Place>& places, int color, int bg);
};

void TestBanner::initTestCase() {
    static int argc = 1;
    static char name[] = "test_banner";
    static char* argv[] = {name, nullptr};
    QVERIFY(InitToolkit(argc, argv) == 1);
    RegisterCallbacks(zurid::CallbackTable());
}

void TestBanner::init() {
    zurid::panel = LoadPanel(0, "Dovarid10.uir", PANEL);
    QVERIFY(zurid::panel > 0);
    PanelWidget(zurid::panel)->show();
}

void TestBanner::cleanup() {
    DiscardPanel(zurid::panel);
}

// Every text at its place and size, all in one style; the first is the caption.
void TestBanner::checkLines(const QList<Text>& lines, const QList<Place>& places, int color,
                            int bg) {
    QCOMPARE(lines.size(), places.size());
    for (qsizetype i = 0; i < lines.size(); ++i) {
        QCOMPARE(lines[i].rect.topLeft(), QPoint(places[i].left, places[i].top));
        QCOMPARE(lines[i].size, places[i].size);
        QCOMPARE(lines[i].color, color);
        QCOMPARE(lines[i].background, bg);
        QVERIFY(!lines[i].text.trimmed().isEmpty());
    }
    QCOMPARE(lines[0].text, QString(Caption));
}

void TestBanner::variant5IsWhiteOnBlue() {
    const QList<Text> lines = Show(5);
    QCOMPARE(FrameColor(), Blue);
    QCOMPARE(Picture()->pos(), QPoint(168, 6));
    QCOMPARE(Picture()->pixmap().toImage().convertToFormat(QImage::Format_RGB32),
             BitmapFile(5).convertToFormat(QImage::Format_RGB32));
    checkLines(lines, {{218, 30, 18}, {15, 5, 12}, {15, 20, 12}, {15, 35, 12}}, White, Blue);

    // As drawn: a blue band, white lettering in the caption and in each line.
    const QImage shot = Grab(5);
    QCOMPARE(Rgb(shot.pixelColor(800, 55)), Blue);
    QCOMPARE(Rgb(shot.pixelColor(2, 2)), Blue);
    for (const Text& t : lines) {
        QVERIFY2(HasPixel(shot, t.rect, White), qPrintable(t.text));
    }
}

void TestBanner::variant0HasCaptionOnly() {
    const QImage resourcePicture = Picture()->pixmap().toImage();
    const QList<Text> lines = Show(0);
    QCOMPARE(FrameColor(), White);
    QCOMPARE(Picture()->pos(), QPoint(640, 5));
    QCOMPARE(Picture()->pixmap().toImage(), resourcePicture);
    checkLines(lines, {{220, 20, 22}}, 0x000000, White);
}

void TestBanner::variant9PutsCaptionOnBitmap() {
    const QList<Text> lines = Show(9);
    QCOMPARE(FrameColor(), White);
    QCOMPARE(Picture()->pos(), QPoint(5, 2));
    checkLines(lines, {{215, 20, 22}}, White, VAL_TRANSPARENT);
    // The white caption stands wholly on the dark bitmap, and it is drawn there.
    QVERIFY(Picture()->geometry().contains(lines[0].rect));
    QVERIFY(HasPixel(Grab(9), lines[0].rect, White));
}

void TestBanner::outOfRangeChangesNothing() {
    zurid::ShowLogo(5);
    const int labels = static_cast<int>(Labels().size());
    const QImage picture = Picture()->pixmap().toImage();
    for (int variant : {-1, 11}) {
        QVERIFY(Show(variant).isEmpty());
        QCOMPARE(static_cast<int>(Labels().size()), labels);
        QCOMPARE(FrameColor(), Blue);
        QCOMPARE(Picture()->pos(), QPoint(168, 6));
        QCOMPARE(Picture()->pixmap().toImage(), picture);
    }
}

void TestBanner::everyVariantFitsTheBand_data() {
    QTest::addColumn<int>("variant");
    for (int v = 0; v <= 10; ++v) {
        QTest::addRow("variant %d", v) << v;
    }
}

// Each variant shows its own bitmap, keeps its texts inside the banner band, and no text
// covers another text or the picture (variant 9 writes its caption onto the picture).
void TestBanner::everyVariantFitsTheBand() {
    QFETCH(int, variant);
    const QList<Text> lines = Show(variant);
    Grab(variant);
    const QRect band = CtrlWidget(zurid::panel, PANEL_LOGO_FRAME)->geometry();
    const QRect picture = Picture()->geometry();
    if (variant > 0) {
        const QImage file = BitmapFile(variant);
        QVERIFY(!file.isNull());
        QCOMPARE(Picture()->pixmap().size(), file.size());
        QVERIFY(band.contains(picture));
    }
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const Text& t = lines[i];
        QVERIFY2(band.contains(t.rect), qPrintable(t.text));
        if (variant > 0 && !(variant == 9 && i == 0)) {
            QVERIFY2(!t.rect.intersects(picture), qPrintable(t.text));
        }
        for (qsizetype j = 0; j < i; ++j) {
            QVERIFY2(!Clash(t.rect, lines[j].rect), qPrintable(t.text + " / " + lines[j].text));
        }
        // Web addresses are fictional, in the domain reserved for examples.
        if (t.text.contains(QLatin1String("www."))) {
            QVERIFY2(t.text.endsWith(QLatin1String(".example")), qPrintable(t.text));
        }
    }
}

QTEST_MAIN(TestBanner)
#include "test_banner.moc"
