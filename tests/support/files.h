// Test helpers: whole files in and out, and the system's words for a failure.
#pragma once

#include "sim/sensorsim.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QTest>

#include <cstring>

inline void Put(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(bytes), bytes.size());
}

// The system's text for an error number in this process's locale, as the program reports it.
inline QString SystemText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
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
