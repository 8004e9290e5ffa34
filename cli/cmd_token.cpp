// zurid token: the named tokens of `zurid serve --tokens FILE`. A new token is shown once and
// only its SHA-256 is kept; the file keeps its comments and lines as they were.
#include "cli/cli.h"
#include "cli/commands.h"
#include "serve/tokens.h"

namespace zurid::cli {

namespace {

const char* const kTokenDetails =
    "  add NAME --role ROLE   make a token for NAME (operator or engineer) and print it\n"
    "  list                   every name with its role\n"
    "  remove NAME            NAME's token no longer counts\n"
    "\n"
    "The tokens file holds one line a person or system: NAME ROLE SHA256, the name a plain\n"
    "word (letters, digits, '.', '_', '-'), the role, and the lowercase hex SHA-256 of the\n"
    "token - never the token itself. Lines that start with '#' and blank lines are allowed.\n"
    "add makes the token from 256 random bits and prints it alone on one line of stdout, this\n"
    "once: give it to its holder, it cannot be shown again (remove and add makes a new one).\n"
    "The file is written whole or not at all, mode 0600; 'zurid serve --tokens FILE' reads\n"
    "it at start. An operator may change RAM, make backups and verify them; an engineer may\n"
    "also change EEPROM and restore.\n"
    "\n"
    "Exit status: 0 done, 1 the file cannot be read or written or names no such NAME, 2 bad\n"
    "usage (a NAME that is there already, a role that is none): nothing was written.";

int Add(const serve::TokensFile& file, const QString& name, const QString& roleName) {
    const std::optional<serve::Role> role = serve::RoleNamed(roleName);
    if (!serve::PlainName(name) || name == QLatin1String(serve::kTokenFileName)) {
        Message(QStringLiteral("token add: '%1' is no name for a token (letters, digits, '.', "
                               "'_', '-'; not %2)")
                    .arg(name, QLatin1String(serve::kTokenFileName)));
        return kExitUsage;
    }
    if (!role) {
        Message(QStringLiteral("token add needs --role operator or --role engineer"));
        return kExitUsage;
    }
    for (const serve::TokenEntry& e : file.entries) {
        if (e.name == name) {
            Message(QStringLiteral("token add: %1 has a token in %2 already (remove it first)")
                        .arg(name, file.path));
            return kExitUsage;
        }
    }
    const QByteArray token = serve::NewToken();
    QByteArray text = file.text;
    if (!text.isEmpty() && !text.endsWith('\n')) {
        text += '\n';
    }
    text += serve::TokenLine({name, *role, serve::TokenHash(token)});
    if (const Status saved = serve::SaveTokens(file.path, text); !saved) {
        Message(saved.error());
        return kExitFailed;
    }
    Message(QStringLiteral("%1 (%2) added to %3; the token is shown this once")
                .arg(name, serve::RoleName(*role), file.path));
    Out(QString::fromLatin1(token) + QLatin1Char('\n'));
    return kExitOk;
}

int Remove(const serve::TokensFile& file, const QString& name) {
    QByteArray text;
    bool found = false;
    for (const QByteArray& line : file.text.split('\n')) {
        const QByteArray words = line.simplified();
        if (!words.startsWith('#') && words.split(' ').constFirst() == name.toUtf8()) {
            found = true;
            continue;
        }
        text += line + '\n';
    }
    text.chop(1); // the split gave one line more than there were line ends
    if (!found) {
        Message(QStringLiteral("token remove: no %1 in %2").arg(name, file.path));
        return kExitFailed;
    }
    if (const Status saved = serve::SaveTokens(file.path, text); !saved) {
        Message(saved.error());
        return kExitFailed;
    }
    Message(QStringLiteral("%1 removed from %2").arg(name, file.path));
    return kExitOk;
}

} // namespace

int RunToken(const QStringList& args) {
    QCommandLineParser parser;
    parser.addOption({QStringLiteral("role"), QStringLiteral("add: operator or engineer."),
                      QStringLiteral("ROLE")});
    parser.addOption({QStringLiteral("tokens"),
                      QStringLiteral("The tokens file (default $XDG_STATE_HOME/zurid/tokens, "
                                     "else ~/.local/state/zurid/tokens, beside serve's token "
                                     "file)."),
                      QStringLiteral("FILE")});
    if (const auto done = ParseCommand(parser, args, QLatin1String(kTokenDetails), 1, 2)) {
        return *done;
    }
    const QStringList words = parser.positionalArguments();
    const QString verb = words.constFirst();
    const bool named = verb == QLatin1String("add") || verb == QLatin1String("remove");
    if (!named && verb != QLatin1String("list")) {
        Message(QStringLiteral("token: add, list or remove, not '%1' (see 'zurid token --help')")
                    .arg(verb));
        return kExitUsage;
    }
    if (named != (words.size() == 2)) {
        Message(named ? QStringLiteral("token %1 needs a NAME").arg(verb)
                      : QStringLiteral("token list takes no NAME"));
        return kExitUsage;
    }
    if (parser.isSet(QStringLiteral("role")) && verb != QLatin1String("add")) {
        Message(QStringLiteral("token %1 takes no --role").arg(verb));
        return kExitUsage;
    }
    const QString path = parser.isSet(QStringLiteral("tokens"))
                             ? parser.value(QStringLiteral("tokens"))
                             : serve::DefaultTokensPath();
    // Only add makes the file; list and remove need it there.
    const Result<serve::TokensFile> file = serve::LoadTokens(path, verb == QLatin1String("add"));
    if (!file) {
        Message(file.error());
        return kExitFailed;
    }
    if (verb == QLatin1String("add")) {
        return Add(*file, words.at(1), parser.value(QStringLiteral("role")));
    }
    if (verb == QLatin1String("remove")) {
        return Remove(*file, words.at(1));
    }
    for (const serve::TokenEntry& e : file->entries) {
        Out(QStringLiteral("%1 %2\n").arg(e.name, -24).arg(serve::RoleName(e.role)));
    }
    return kExitOk;
}

} // namespace zurid::cli
