// Bringing up the window system. Qt's platform plugin ends the process with abort() when it
// cannot start (no display, an unknown platform); the program must instead end with -1 and
// tell a terminal user in one line what could not be opened. What can be checked beforehand
// is checked here; anything else is caught at Qt's fatal message.
#include "platform/ui/ui_internal.h"

#include <QApplication>
#include <QFileInfo>
#include <QStringList>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <string>
#include <vector>

namespace {

std::string g_program;  // for the messages: the program's file name
std::string g_platform; // what was tried, for a failure caught at Qt's fatal message

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr ? v : "";
}

const char* OptionValue(int argc, char** argv, const char* option) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], option) == 0) {
            return argv[i + 1];
        }
    }
    return nullptr;
}

// The platform plugins Qt may pick: the one named by -platform or QT_QPA_PLATFORM (a list
// separated by ';', options after ':'), else X11, or Wayland in a Wayland session.
QStringList Candidates(int argc, char** argv) {
    QString names = QString::fromLocal8Bit(OptionValue(argc, argv, "-platform"));
    if (names.isEmpty()) {
        names = QString::fromStdString(Env("QT_QPA_PLATFORM"));
    }
    if (names.isEmpty()) {
        names = Env("XDG_SESSION_TYPE") == "wayland" ? QStringLiteral("wayland;xcb")
                                                     : QStringLiteral("xcb");
    }
    QStringList out;
    for (const QString& entry : names.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        out << entry.section(QLatin1Char(':'), 0, 0);
    }
    return out;
}

// Connects to the X server as the xcb plugin would (libxcb, loaded only for this); true when
// that works or cannot be tried.
bool XServerAnswers(const std::string& display) {
    void* lib = dlopen("libxcb.so.1", RTLD_LAZY | RTLD_LOCAL);
    if (lib == nullptr) {
        return true;
    }
    using Connect = void* (*)(const char*, int*);
    using HasError = int (*)(void*);
    using Disconnect = void (*)(void*);
    auto connect = reinterpret_cast<Connect>(dlsym(lib, "xcb_connect"));
    auto hasError = reinterpret_cast<HasError>(dlsym(lib, "xcb_connection_has_error"));
    auto disconnect = reinterpret_cast<Disconnect>(dlsym(lib, "xcb_disconnect"));
    bool answers = true;
    if (connect != nullptr && hasError != nullptr && disconnect != nullptr) {
        void* c = connect(display.c_str(), nullptr);
        answers = c != nullptr && hasError(c) == 0;
        if (c != nullptr) {
            disconnect(c);
        }
    }
    dlclose(lib);
    return answers;
}

// Why the platform `name` cannot start, or empty when it may (or it cannot be told here).
std::string Problem(const QString& name, int argc, char** argv) {
    if (name == QLatin1String("xcb")) {
        const char* option = OptionValue(argc, argv, "-display");
        const std::string display = option != nullptr ? option : Env("DISPLAY");
        if (display.empty()) {
            return "cannot open display: DISPLAY is not set";
        }
        return XServerAnswers(display) ? "" : "cannot open display " + display;
    }
    if (name.startsWith(QLatin1String("wayland"))) {
        std::string socket = Env("WAYLAND_DISPLAY");
        socket = socket.empty() ? "wayland-0" : socket;
        if (socket.front() != '/') {
            socket = Env("XDG_RUNTIME_DIR") + "/" + socket;
        }
        return QFileInfo::exists(QString::fromStdString(socket))
                   ? ""
                   : "cannot open Wayland display " + socket;
    }
    return "";
}

void Report(const std::string& line) {
    std::fprintf(stderr, "%s: %s\n", g_program.c_str(), line.c_str());
    std::fflush(stderr);
}

// While QApplication is being built: Qt's messages are held back, and a fatal one (the
// platform plugin gave up) ends the process with -1 and one line instead of abort().
struct Held {
    QtMsgType type;
    std::string category;
    QString text;
};
std::vector<Held> g_held;

void HoldMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type == QtFatalMsg) {
        // The warning before the fatal message says what went wrong; the fatal one is generic.
        const QString why = g_held.empty() ? text : g_held.back().text;
        Report("the window system could not be started (" + g_platform +
               "): " + why.section(QLatin1Char('\n'), 0, 0).trimmed().toStdString());
        std::_Exit(-1);
    }
    g_held.push_back({type, context.category != nullptr ? context.category : "", text});
}

} // namespace

namespace ui {

bool StartApplication(int& argc, char** argv) {
    g_program = argc > 0 ? QFileInfo(QString::fromLocal8Bit(argv[0])).fileName().toStdString()
                         : "tavrin-zurid";
    const QStringList candidates = Candidates(argc, argv);
    std::string problem;
    for (const QString& name : candidates) {
        problem = Problem(name, argc, argv);
        if (problem.empty()) {
            break;
        }
    }
    if (!problem.empty()) {
        Report(problem);
        return false;
    }
    g_platform = "platform " + candidates.join(QLatin1Char(';')).toStdString();
    if (!Env("DISPLAY").empty()) {
        g_platform += ", display " + Env("DISPLAY");
    }
    const QtMessageHandler previous = qInstallMessageHandler(HoldMessage);
    new QApplication(argc, argv);
    qInstallMessageHandler(previous);
    for (const Held& m : g_held) {
        const QMessageLogContext context(nullptr, 0, nullptr, m.category.c_str());
        qt_message_output(m.type, context, m.text);
    }
    g_held.clear();
    return true;
}

} // namespace ui
