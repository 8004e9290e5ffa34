// The program started where its window cannot be shown: it ends at once with -1 and one line
// on stderr that names the display or platform, instead of Qt's abort.
#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>
#include <QTest>

namespace {

struct Run {
    int exitCode = 0;
    QProcess::ExitStatus status = QProcess::NormalExit;
    QStringList stderrLines;
    qint64 ms = 0;
};

// The real program with the window-system variables given (and the others removed).
Run Start(const QStringList& env) {
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    for (const char* name :
         {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_SESSION_TYPE", "ZURID_PORTS"}) {
        e.remove(QString::fromLatin1(name));
    }
    for (const QString& kv : env) {
        e.insert(kv.section('=', 0, 0), kv.section('=', 1));
    }
    QProcess p;
    p.setProcessEnvironment(e);
    QElapsedTimer t;
    t.start();
    p.start(QCoreApplication::applicationDirPath() + "/tavrin-zurid", {});
    Run r;
    if (!p.waitForFinished(10000)) {
        p.kill();
        p.waitForFinished();
        r.exitCode = -1000;
    } else {
        r.exitCode = p.exitCode();
    }
    r.ms = t.elapsed();
    r.status = p.exitStatus();
    r.stderrLines =
        QString::fromLocal8Bit(p.readAllStandardError()).split('\n', Qt::SkipEmptyParts);
    return r;
}

// A display number that no X server here answers.
QString UnusedDisplay() {
    for (int n = 7713;; ++n) {
        if (!QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(n))) {
            return QStringLiteral(":%1").arg(n);
        }
    }
}

} // namespace

class DisplayTest : public QObject {
    Q_OBJECT
  private slots:
    void unreachableWindowSystemEndsWithMinusOne_data() {
        QTest::addColumn<QStringList>("env");
        QTest::addColumn<QString>("line");
        const QString display = UnusedDisplay();
        QTest::newRow("X display not answering")
            << QStringList{"DISPLAY=" + display} << "tavrin-zurid: cannot open display " + display;
        QTest::newRow("no DISPLAY")
            << QStringList{} << QString("tavrin-zurid: cannot open display: DISPLAY is not set");
        QTest::newRow("Wayland socket missing")
            << QStringList{"QT_QPA_PLATFORM=wayland", "WAYLAND_DISPLAY=/nonexistent/wayland-9"}
            << QString("tavrin-zurid: cannot open Wayland display /nonexistent/wayland-9");
        // Not told beforehand: caught where Qt would abort.
        QTest::newRow("unknown platform")
            << QStringList{"QT_QPA_PLATFORM=nosuchplatform", "DISPLAY=" + display}
            << "tavrin-zurid: the window system could not be started (platform nosuchplatform, "
               "display " +
                   display + "): Could not find the Qt platform plugin \"nosuchplatform\" in \"\"";
    }
    void unreachableWindowSystemEndsWithMinusOne() {
        QFETCH(QStringList, env);
        QFETCH(QString, line);
        const Run r = Start(env);
        QCOMPARE(r.status, QProcess::NormalExit); // no abort
        QCOMPARE(r.exitCode, 255);                // -1
        QCOMPARE(r.stderrLines, QStringList{line});
        QVERIFY2(r.ms < 3000, qPrintable(QString::number(r.ms)));
    }
};

QTEST_MAIN(DisplayTest)
#include "test_display.moc"
