// Graphs and the strip chart on Qt Charts. The axis ranges, trace names and colours come from
// properties of the graph place in the panel resource (xMin, xMax, yMin, yMax, xTick, yTick,
// xTitle, traceNames, traceColors, pointsPerScreen). Drawing is kept cheap: series are reused
// and their points replaced, no animation, no OpenGL.
#include "platform/ui/ui_internal.h"
#include "platform/ui/userint.h"

#include <QChart>
#include <QChartView>
#include <QCoreApplication>
#include <QGraphicsLayout>
#include <QGraphicsObject>
#include <QGraphicsScene>
#include <QLegend>
#include <QLineSeries>
#include <QPointer>
#include <QValueAxis>

#include <deque>
#include <map>
#include <vector>

using zurid::platform::VAL_DOUBLE;
using zurid::platform::VAL_UNSIGNED_CHAR;

namespace {

class ChartCtrl : public QChartView {
  public:
    // Given its chart from the start: a chart view made without one makes its own, and
    // setChart() later would orphan that one.
    ChartCtrl(QChart* chart, QWidget* parent) : QChartView(chart, parent) {}

    bool strip = false;
    QValueAxis* axisX = nullptr;
    QValueAxis* axisY = nullptr;
    // Strip chart: one series and the points on screen per trace.
    std::vector<QLineSeries*> traces;
    std::vector<std::deque<double>> history;
    int pointsPerScreen = 101;
    // Graph: plots by handle.
    std::map<int, QLineSeries*> plots;
    int nextPlot = 1;
};

ChartCtrl* AsChart(QWidget* w) {
    return dynamic_cast<ChartCtrl*>(w);
}

QValueAxis* MakeAxis(const QWidget* place, char axis) {
    auto prop = [&](const char* name, double fallback) {
        const QVariant v = place->property((QByteArray(1, axis) + name).constData());
        return v.isValid() ? v.toDouble() : fallback;
    };
    auto* a = new QValueAxis;
    a->setRange(prop("Min", 0), prop("Max", 100));
    a->setTickType(QValueAxis::TicksDynamic);
    a->setTickAnchor(prop("Min", 0));
    a->setTickInterval(prop("Tick", 10));
    a->setLabelFormat(QStringLiteral("%d"));
    QFont font = a->labelsFont();
    font.setPixelSize(10);
    a->setLabelsFont(font);
    a->setGridLineColor(QColor(0xdd, 0xdd, 0xdd));
    const QString title = place->property((QByteArray(1, axis) + "Title").constData()).toString();
    if (!title.isEmpty()) {
        font.setPixelSize(11);
        a->setTitleFont(font);
        a->setTitleText(title);
    }
    return a;
}

QLineSeries* AddSeries(ChartCtrl* view, const QColor& color, int width) {
    auto* series = new QLineSeries;
    QPen pen(color);
    pen.setWidth(width);
    series->setPen(pen);
    view->chart()->addSeries(series);
    series->attachAxis(view->axisX);
    series->attachAxis(view->axisY);
    return series;
}

void ShowTrace(ChartCtrl* view, std::size_t t) {
    const std::deque<double>& values = view->history[t];
    QList<QPointF> points;
    points.reserve(static_cast<qsizetype>(values.size()));
    for (std::size_t i = 0; i < values.size(); ++i) {
        points.append(QPointF(static_cast<double>(i), values[i]));
    }
    view->traces[t]->replace(points);
}

void SetupStrip(ChartCtrl* view, const QWidget* place) {
    const QStringList names = place->property("traceNames").toString().split(QLatin1Char(','));
    const QStringList colors = place->property("traceColors").toString().split(QLatin1Char(','));
    const int count = qMax(1, static_cast<int>(names.size()));
    for (int t = 0; t < count; ++t) {
        const QColor color(t < colors.size() ? colors[t] : QStringLiteral("#000000"));
        QLineSeries* series = AddSeries(view, color, 2);
        series->setName(names.value(t));
        view->traces.push_back(series);
    }
    view->history.resize(view->traces.size());
    bool ok = false;
    const int points = place->property("pointsPerScreen").toInt(&ok);
    ui::SetPointsPerScreen(view, ok ? points : 101);
    QLegend* legend = view->chart()->legend();
    legend->setAlignment(Qt::AlignTop);
    QFont font = legend->font();
    font.setPixelSize(11);
    legend->setFont(font);
}

} // namespace

namespace ui {

QWidget* MakeChart(QWidget* place) {
    auto* chart = new QChart;
    chart->setAnimationOptions(QChart::NoAnimation);
    chart->setBackgroundRoundness(0);
    chart->setMargins(QMargins(2, 2, 2, 2));
    chart->layout()->setContentsMargins(0, 0, 0, 0);
    auto* view = new ChartCtrl(chart, place->parentWidget());
    view->setObjectName(place->objectName());
    view->setGeometry(place->geometry());
    for (const QByteArray& name : place->dynamicPropertyNames()) {
        view->setProperty(name.constData(), place->property(name.constData()));
    }
    view->strip = place->property("ctrlKind").toString() == QLatin1String("stripchart");
    // The strip chart redraws many times a second; the plain graphs can afford smooth lines.
    view->setRenderHint(QPainter::Antialiasing, !view->strip);
    view->axisX = MakeAxis(place, 'x');
    view->axisY = MakeAxis(place, 'y');
    chart->addAxis(view->axisX, Qt::AlignBottom);
    chart->addAxis(view->axisY, Qt::AlignLeft);
    if (view->strip) {
        SetupStrip(view, place);
    } else {
        chart->legend()->hide();
    }

    view->setVisible(!place->isHidden());
    view->stackUnder(place);
    delete place;
    return view;
}

bool IsChart(const QWidget* w) {
    return dynamic_cast<const ChartCtrl*>(w) != nullptr;
}

int SetPointsPerScreen(QWidget* w, int points) {
    ChartCtrl* view = AsChart(w);
    if (view == nullptr || !view->strip) {
        return kErrAttribute;
    }
    if (points < 2) {
        return kErrValue;
    }
    if (points == view->pointsPerScreen && view->axisX->max() == points - 1) {
        return 0;
    }
    view->pointsPerScreen = points;
    view->axisX->setRange(0, points - 1);
    for (std::size_t t = 0; t < view->history.size(); ++t) {
        std::deque<double>& values = view->history[t];
        if (values.size() > static_cast<std::size_t>(points)) {
            values.erase(values.begin(),
                         values.begin() + static_cast<long>(values.size()) - points);
            ShowTrace(view, t);
        }
    }
    return 0;
}

int PointsPerScreen(const QWidget* w, int* points) {
    const auto* view = dynamic_cast<const ChartCtrl*>(w);
    if (view == nullptr || !view->strip) {
        return kErrAttribute;
    }
    *points = view->pointsPerScreen;
    return 0;
}

} // namespace ui

namespace {

ChartCtrl* FindChart(int panel, int control, int* error) {
    ChartCtrl* view = AsChart(ui::FindCtrl(panel, control, error));
    if (view == nullptr && *error == 0) {
        *error = ui::kErrType;
    }
    return view;
}

double ValueAt(const void* array, int index, int dataType) {
    if (dataType == VAL_UNSIGNED_CHAR) {
        return static_cast<const unsigned char*>(array)[index];
    }
    return static_cast<const double*>(array)[index];
}

} // namespace

int PlotY(int panel, int control, const void* array, int count, int dataType, int plotStyle,
          int /*pointStyle*/, int /*lineStyle*/, int /*pointFrequency*/, int color) {
    int error = 0;
    ChartCtrl* view = FindChart(panel, control, &error);
    if (view == nullptr) {
        return error;
    }
    if (view->strip || count < 0 || array == nullptr) {
        return ui::kErrType;
    }
    if (dataType != VAL_UNSIGNED_CHAR && dataType != VAL_DOUBLE) {
        return ui::kErrType;
    }
    QList<QPointF> points;
    points.reserve(count);
    for (int i = 0; i < count; ++i) {
        points.append(QPointF(i, ValueAt(array, i, dataType)));
    }
    QLineSeries* series = AddSeries(view, QColor::fromRgb(static_cast<QRgb>(color & 0xFFFFFF)),
                                    plotStyle == VAL_THICK_LINE ? 3 : 1);
    series->replace(points);
    const int handle = view->nextPlot++;
    view->plots[handle] = series;
    return handle;
}

int DeleteGraphPlot(int panel, int control, int plotHandle, int /*refresh*/) {
    int error = 0;
    ChartCtrl* view = FindChart(panel, control, &error);
    if (view == nullptr) {
        return error;
    }
    if (view->strip) {
        return ui::kErrType;
    }
    // Qt Charts deletes the graphics items of a removed series only once control is back in
    // the event loop; inside a long callback (the data loop redrawing a graph every cycle) that
    // is never, and they would pile up. They are let go here, once the series are gone.
    std::vector<QPointer<QGraphicsObject>> items;
    for (QGraphicsItem* item : view->scene()->items()) {
        if (QGraphicsObject* object = item->toGraphicsObject()) {
            items.emplace_back(object);
        }
    }
    for (auto it = view->plots.begin(); it != view->plots.end();) {
        if (plotHandle == -1 || it->first == plotHandle) {
            view->chart()->removeSeries(it->second);
            delete it->second;
            it = view->plots.erase(it);
        } else {
            ++it;
        }
    }
    for (const QPointer<QGraphicsObject>& object : items) {
        if (!object.isNull()) {
            QCoreApplication::sendPostedEvents(object, QEvent::DeferredDelete);
        }
    }
    return 0;
}

int PlotStripChart(int panel, int control, const void* array, int count, int startIndex,
                   int skipCount, int dataType) {
    int error = 0;
    ChartCtrl* view = FindChart(panel, control, &error);
    if (view == nullptr) {
        return error;
    }
    if (!view->strip || array == nullptr || count < 0 || startIndex < 0 || skipCount < 0 ||
        (dataType != VAL_UNSIGNED_CHAR && dataType != VAL_DOUBLE)) {
        return ui::kErrType;
    }
    // Values are dealt to the traces in turn, starting with the first.
    const std::size_t traces = view->traces.size();
    const auto keep = static_cast<std::size_t>(view->pointsPerScreen);
    for (int k = 0; k < count; ++k) {
        std::deque<double>& values = view->history[static_cast<std::size_t>(k) % traces];
        values.push_back(ValueAt(array, startIndex + k * (skipCount + 1), dataType));
        if (values.size() > keep) {
            values.pop_front();
        }
    }
    for (std::size_t t = 0; t < traces; ++t) {
        ShowTrace(view, t);
    }
    return 0;
}

int SetTraceAttribute(int panel, int control, int trace, int attribute, int value) {
    int error = 0;
    ChartCtrl* view = FindChart(panel, control, &error);
    if (view == nullptr) {
        return error;
    }
    if (!view->strip || attribute != ATTR_TRACE_VISIBLE) {
        return ui::kErrAttribute;
    }
    if (trace < 1 || static_cast<std::size_t>(trace) > view->traces.size()) {
        return ui::kErrIndex;
    }
    view->traces[static_cast<std::size_t>(trace) - 1]->setVisible(value != 0);
    return 0;
}
