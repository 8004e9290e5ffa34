// Time, pauses and the program's directories.
#include "platform/serial/utility.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <chrono>
#include <malloc.h>
#include <thread>
#include <unistd.h>

namespace zurid::platform {

namespace {

// Directory of the running executable, with or without an application object.
QString ExecutableDir() {
    if (QCoreApplication::instance() != nullptr) {
        return QCoreApplication::applicationDirPath();
    }
    const QFileInfo exe(QStringLiteral("/proc/self/exe"));
    const QString target = exe.symLinkTarget();
    return target.isEmpty() ? QDir::currentPath() : QFileInfo(target).absolutePath();
}

// Installed, the program sits in bin/ and its resources in share/tavrin-zurid/; from the build
// directory the panel resource lies beside it.
bool RunsInstalled(const QString& exeDir) {
    return !QFileInfo::exists(exeDir + QStringLiteral("/Dovarid10.uir"));
}

} // namespace

double Timer() {
    const auto since = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration<double>(since).count();
}

void Sleep(int milliseconds) {
    if (milliseconds > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
}

int GetProjectDir(std::string* directory) {
    const QString exeDir = ExecutableDir();
    QString dir = exeDir;
    if (RunsInstalled(exeDir)) {
        const QFileInfo data(exeDir + QStringLiteral("/../share/tavrin-zurid"));
        if (data.isDir()) {
            dir = data.canonicalFilePath();
        }
    }
    *directory = dir.toStdString();
    return 0;
}

std::string GetUserFileDir() {
    // The program's own directory only when it runs from its build directory; an installed
    // program's bin/ is no place for parameter files, even when root could write there.
    const QString exeDir = ExecutableDir();
    if (!RunsInstalled(exeDir) && ::access(QFile::encodeName(exeDir).constData(), W_OK) == 0) {
        return exeDir.toStdString();
    }
    return QDir::homePath().toStdString();
}

void ReleaseFreeMemory() {
    malloc_trim(0);
}

} // namespace zurid::platform
