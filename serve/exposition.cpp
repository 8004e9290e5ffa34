#include "serve/exposition.h"

#include <cmath>

namespace zurid::serve {

namespace {

QByteArray Escaped(const QString& value) {
    QByteArray out;
    for (const char c : value.toUtf8()) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '"':
            out += "\\\"";
            break;
        case '\n':
            out += "\\n";
            break;
        default:
            out += c;
        }
    }
    return out;
}

QByteArray Number(double v) {
    if (std::isnan(v)) {
        return "NaN";
    }
    if (std::isinf(v)) {
        return v > 0 ? "+Inf" : "-Inf";
    }
    if (v == std::floor(v) && std::fabs(v) < 1e15) {
        return QByteArray::number(static_cast<qint64>(v));
    }
    return QByteArray::number(v, 'g', 15);
}

} // namespace

void Exposition::family(const QByteArray& name, const QByteArray& type, const QByteArray& help) {
    text_ += "# HELP " + name + ' ' + help + '\n';
    text_ += "# TYPE " + name + ' ' + type + '\n';
}

void Exposition::sample(const QByteArray& name, const Labels& labels, double value) {
    text_ += name;
    if (!labels.isEmpty()) {
        text_ += '{';
        for (qsizetype i = 0; i < labels.size(); ++i) {
            text_ += (i > 0 ? "," : "") + labels[i].first + "=\"" + Escaped(labels[i].second) + '"';
        }
        text_ += '}';
    }
    text_ += ' ' + Number(value) + '\n';
}

} // namespace zurid::serve
