// Time, pauses and the program's directories.
#include "platform/utility.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <chrono>
#include <thread>
#include <unistd.h>

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
    // Installed: the program sits in bin/ and its resources in share/tavrin-zurid/.
    if (!QFileInfo::exists(exeDir + QStringLiteral("/Dovarid10.uir"))) {
        const QFileInfo data(exeDir + QStringLiteral("/../share/tavrin-zurid"));
        if (data.isDir()) {
            dir = data.canonicalFilePath();
        }
    }
    *directory = dir.toStdString();
    return 0;
}

std::string GetUserFileDir() {
    const QString exeDir = ExecutableDir();
    if (::access(QFile::encodeName(exeDir).constData(), W_OK) == 0) {
        return exeDir.toStdString();
    }
    return QDir::homePath().toStdString();
}
