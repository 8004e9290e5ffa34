// Prometheus' text exposition format (version 0.0.4): one HELP and TYPE line per metric family,
// then its samples, label values escaped. What the families are is api_site.cpp's business.
#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

namespace zurid::serve {

using Labels = QList<QPair<QByteArray, QString>>;

class Exposition {
  public:
    // Starts a family (a counter's name ends in _total, in its HELP and TYPE lines too).
    void family(const QByteArray& name, const QByteArray& type, const QByteArray& help);
    void sample(const QByteArray& name, const Labels& labels, double value);
    const QByteArray& text() const { return text_; }

    static constexpr char kContentType[] = "text/plain; version=0.0.4; charset=utf-8";

  private:
    QByteArray text_;
};

} // namespace zurid::serve
