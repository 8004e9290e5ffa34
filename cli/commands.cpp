#include "cli/commands.h"

#include <array>

namespace zurid::cli {

namespace {

// clang-format off
constexpr std::array kCommands{
    Command{"ports", "[--probe] [--json] [PORT...]", "list the serial ports; --probe line-checks them all at once", RunPorts},
    Command{"check", "PORT [--json]", "line check: is there a sensor on PORT", RunCheck},
    Command{"get", "PORT [--eeprom] [--json | -o FILE.dat]", "read the fifteen parameters", RunGet},
    Command{"send", "PORT FILE.dat [--eeprom] [--no-verify]", "write a parameter file to the sensor and read it back", RunSend},
    Command{"set", "PORT NAME=VALUE... [--eeprom] [--no-verify]", "change the named parameters, keep the rest", RunSet},
    Command{"diff", "A B [--json]", "compare two parameter sets (files or PORT[:ram|:eeprom])", RunDiff},
    Command{"watch", "PORT... [--seconds S | --count N] [--csv FILE] [--pause MS]", "log live data as CSV", RunWatch},
    Command{"buffer", "PORT [--json]", "read the 16-value jump buffer and the THRESHOLD", RunBuffer},
    Command{"health", "PORT... [--seconds N] [--json]", "counting margin and light level of each sensor", RunHealth},
    Command{"backup", "DIR [PORT... | --all]", "save every sensor's RAM and EEPROM set in DIR, all ports at once", RunBackup},
    Command{"restore", "DIR [PORT...] [--ram] [--dry-run]", "write each sensor's saved set back and read it back", RunRestore},
    Command{"verify", "DIR [PORT...] [--json]", "name the parameters in which each sensor differs from its backup", RunVerify},
    Command{"journal", "[verify] [--sensor PORT|LOCATION] [--since TIME] [--json | --csv]", "who changed which sensor, when and why; verify its chain", RunJournal},
    Command{"serve", "[PORT... | --all] [--listen ADDR:PORT] [--token-file FILE] [--tokens FILE] [--private] [--read-only]", "the line on the network: JSON API, live stream, metrics, web page", ExecServe},
    Command{"token", "add NAME --role ROLE | list | remove NAME [--tokens FILE]", "the named tokens of serve --tokens, with their roles", RunToken},
};
// clang-format on

} // namespace

std::span<const Command> Commands() {
    return kCommands;
}

const Command* FindCommand(const QString& name) {
    for (const Command& c : kCommands) {
        if (name == QLatin1String(c.name)) {
            return &c;
        }
    }
    return nullptr;
}

} // namespace zurid::cli
