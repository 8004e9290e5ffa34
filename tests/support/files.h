// Test helpers: whole files in and out.
#pragma once

#include "sim/sensorsim.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QTest>

inline void Put(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(bytes), bytes.size());
}

inline QByteArray Contents(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(unreadable)");
}

// The parameter-file text of a block: one value per line, right-aligned in four characters.
inline QByteArray FileText(const sim::Block& b) {
    QByteArray text;
    for (std::uint8_t v : b) {
        text += QByteArray::number(v).rightJustified(4, ' ') + '\n';
    }
    return text;
}
