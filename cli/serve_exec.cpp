#include "cli/cli.h"
#include "cli/commands.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <unistd.h>
#include <vector>

namespace zurid::cli {

namespace {

// Beside zurid (the build tree), else in the libexec folder of the prefix zurid is installed
// under, whichever it is (a package in /usr, `make install PREFIX=~/.local`), else where the
// build meant to install it.
QString ServeProgram() {
    const QString here = QCoreApplication::applicationDirPath();
    for (const QString& candidate :
         {here + QStringLiteral("/zurid-serve"),
          here + QStringLiteral("/" ZURID_BIN_TO_LIBEXEC "/zurid-serve")}) {
        if (QFileInfo(candidate).isExecutable()) {
            return QFileInfo(candidate).absoluteFilePath();
        }
    }
    return QStringLiteral(ZURID_LIBEXEC_DIR "/zurid-serve");
}

} // namespace

int ExecServe(const QStringList& args) {
    const QString program = ServeProgram();
    const QByteArray path = QFile::encodeName(program);
    std::vector<QByteArray> owned;
    owned.push_back(path);
    for (const QString& a : args.mid(1)) {
        owned.push_back(a.toLocal8Bit());
    }
    std::vector<char*> argv;
    for (QByteArray& a : owned) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    ::execv(path.constData(), argv.data());
    Message(QStringLiteral("serve: cannot run %1: %2 (zurid serve is installed with zurid)")
                .arg(program, QString::fromLocal8Bit(std::strerror(errno))));
    return kExitFailed;
}

} // namespace zurid::cli
