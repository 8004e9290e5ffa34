// sensor-sim: plays the contrast sensor on a pseudo-terminal for demos and tests.
#include "sim/fleet.h"

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char* kUsage = R"(Usage: sensor-sim [OPTIONS] [--exec PROGRAM [ARGS...]]

Plays the contrast/edge sensor on a pseudo-terminal. The first line on stdout is the path of
the terminal's slave side, the serial port to open (4800 baud 8N1). With --count N it plays N
independent sensors, each on its own terminal (own memories, live data and faults), and prints
one path per line, sensor 1 first. With --exec the paths go to stderr instead: stdout belongs
to PROGRAM. Requests are 17 bytes:
0x55, order 1..7, the 15-byte parameter block. Orders 1/2 store the block in RAM/EEPROM,
3/4 read it back, 5 returns 9 bytes of live data from a moving-target model, 6 the 16-byte
jump buffer, 7 the line check 0xAA 0x01 0x00. Runs until SIGINT/SIGTERM, or with --exec until
PROGRAM ends.

Options:
  --exec PROGRAM [ARGS...]  run PROGRAM with ZURID_PORTS set to the port (so it is COM1; with
                            --count, all ports colon-separated: sensor N is COMN) and exit with
                            its exit code; everything after PROGRAM is its arguments
  --count N                 play N sensors (1..64, default 1)
  --delay MS                answer delay after a request, in ms (default 5)
  --no-wire-time            answer at once, without the 2.083 ms per byte of 4800 baud
  --fault KIND              silent | short | long | wrong-line-check | late | garbage |
                            stray-prefix (the first reply comes after a stray AA 01 00) |
                            split-long (a correct reply, then a byte more after --split-ms) |
                            ignore-write (a write is taken, the memory keeps its old block);
                            the sensor's aging, on top of those: fouling=P (dirty optics lose
                            P % of the light per minute of run time: DAT0, and with it NORM
                            between the marks, sinks) |
                            shallow (the marks' dips end just below THRESHOLD)
  --fault-orders LIST       orders the fault (and --random-faults) applies to, e.g. 3,5
                            (default: all)
  --late-ms MS              how late a "late" reply starts, in ms (default 3500)
  --split-ms MS             for split-long: from the reply's last byte to the extra one, in ms
                            (default 4)
  --hangup-after N          close the port after N replies, like a pulled USB plug (N >= 1)
  --random-faults P         make each reply faulty with probability P (0..1), random kind
  --seed N                  seed of the target model and random faults (default 1); sensor K
                            of a --count gets N+K-1
  --ram B0,B1,...,B14       initial RAM parameter block, 15 values 0..255
  --eeprom B0,B1,...,B14    initial EEPROM parameter block (both default to a demo set)
  --log FILE                one line per request received: monotonic seconds (6 decimals)
                            and the bytes in hex; flushed line by line. With --count, each
                            line starts with the sensor's number
  --help                    this text

The sensor options (--delay, --fault, --fault-orders, --late-ms, --split-ms, --hangup-after,
--random-faults, --ram, --eeprom) apply to every sensor, or with a prefix K: to sensor K alone
(e.g. --fault 2:silent); later options win.

Examples:
  sensor-sim --exec tavrin-zurid
  sensor-sim --fault silent --fault-orders 5 --exec tavrin-zurid
  sensor-sim --hangup-after 20 --log /tmp/requests.log --exec ./tavrin-zurid
  sensor-sim --random-faults 0.05 --seed 7      # then open the printed port yourself
  sensor-sim --count 4 --fault 2:silent --hangup-after 3:5 --exec zurid backup /tmp/line --all
  sensor-sim --count 3 --fault 2:fouling=5 --fault 3:shallow --exec zurid serve
)";

// What one sensor is to be.
struct SensorOptions {
    sim::Config cfg;
    sim::Fault fault = sim::Fault::None;
    unsigned orderMask = 0;
    std::optional<double> lateSeconds;
    std::optional<double> splitSeconds;
    int hangupAfter = -1;
    double randomFaults = 0;
};

// A sensor option as given: for every sensor (sensor 0) or one.
struct Setting {
    unsigned sensor = 0;
    std::string opt, value;
};

struct Options {
    unsigned count = 1;
    unsigned seed = 1;
    bool wireTime = true;
    std::vector<Setting> settings;
    std::vector<SensorOptions> sensors; // built from the settings, one per sensor
    std::string logPath;
    std::vector<char*> exec; // PROGRAM ARGS..., null-terminated when used
    bool help = false;
};

[[noreturn]] void fail(const std::string& msg) {
    std::fprintf(stderr, "sensor-sim: %s (see --help)\n", msg.c_str());
    std::exit(2);
}

template <typename T> bool parseNumber(const std::string& s, T& out) {
    const char* end = s.data() + s.size();
    auto [p, ec] = std::from_chars(s.data(), end, out);
    return ec == std::errc{} && p == end && !s.empty();
}

double parseMs(const std::string& opt, const std::string& v) {
    double ms = 0;
    if (!parseNumber(v, ms) || ms < 0)
        fail(opt + " needs a number of milliseconds >= 0, not '" + v + "'");
    return ms / 1000.0;
}

std::vector<unsigned> parseList(const std::string& opt, const std::string& v, unsigned max) {
    std::vector<unsigned> out;
    std::size_t at = 0;
    while (at <= v.size()) {
        const std::size_t comma = std::min(v.find(',', at), v.size());
        unsigned n = 0;
        if (!parseNumber(v.substr(at, comma - at), n) || n > max)
            fail(opt + " needs comma-separated numbers 0.." + std::to_string(max) + ", not '" + v +
                 "'");
        out.push_back(n);
        at = comma + 1;
    }
    return out;
}

sim::Block parseBlock(const std::string& opt, const std::string& v) {
    const auto values = parseList(opt, v, 255);
    if (values.size() != 15)
        fail(opt + " needs exactly 15 values, got " + std::to_string(values.size()));
    sim::Block b{};
    for (std::size_t i = 0; i < b.size(); ++i)
        b[i] = static_cast<std::uint8_t>(values[i]);
    return b;
}

bool isSensorOption(const std::string& opt) {
    static const std::set<std::string> names = {"--delay",         "--fault",    "--fault-orders",
                                                "--late-ms",       "--split-ms", "--hangup-after",
                                                "--random-faults", "--ram",      "--eeprom"};
    return names.count(opt) != 0;
}

// "K:VALUE" names sensor K (1-based); anything else is for every sensor.
Setting splitSensor(const std::string& opt, const std::string& v) {
    const auto colon = v.find(':');
    if (colon == std::string::npos)
        return {0, opt, v};
    unsigned k = 0;
    if (!parseNumber(v.substr(0, colon), k) || k == 0)
        fail(opt + " needs a sensor number 1.. before ':', not '" + v + "'");
    return {k, opt, v.substr(colon + 1)};
}

void apply(SensorOptions& s, const std::string& opt, const std::string& v) {
    if (opt == "--delay") {
        s.cfg.answerDelay = parseMs(opt, v);
    } else if (opt == "--fault") {
        if (const auto f = sim::faultFromName(v)) {
            s.fault = *f;
        } else if (const auto aging = sim::agingFromName(v)) {
            // The two kinds of aging add up; neither touches the reply fault.
            if (aging->shallow)
                s.cfg.aging.shallow = true;
            else
                s.cfg.aging.foulingPercentPerMinute = aging->foulingPercentPerMinute;
        } else {
            fail("unknown fault '" + v + "'");
        }
    } else if (opt == "--fault-orders") {
        s.orderMask = 0;
        for (unsigned order : parseList(opt, v, 7)) {
            if (order == 0)
                fail("orders are 1..7");
            s.orderMask |= 1U << order;
        }
    } else if (opt == "--late-ms") {
        s.lateSeconds = parseMs(opt, v);
    } else if (opt == "--split-ms") {
        s.splitSeconds = parseMs(opt, v);
    } else if (opt == "--hangup-after") {
        if (!parseNumber(v, s.hangupAfter) || s.hangupAfter < 1)
            fail("--hangup-after needs a number of replies >= 1, not '" + v + "'");
    } else if (opt == "--random-faults") {
        if (!parseNumber(v, s.randomFaults) || s.randomFaults < 0 || s.randomFaults > 1)
            fail("--random-faults needs a probability 0..1, not '" + v + "'");
    } else if (opt == "--ram") {
        s.cfg.ram = parseBlock(opt, v);
    } else if (opt == "--eeprom") {
        s.cfg.eeprom = parseBlock(opt, v);
    }
}

Options parseOptions(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string opt = argv[i];
        std::optional<std::string> inlineValue;
        if (const auto eq = opt.find('='); opt.rfind("--", 0) == 0 && eq != std::string::npos) {
            inlineValue = opt.substr(eq + 1);
            opt.resize(eq);
        }
        auto value = [&]() -> std::string {
            if (inlineValue)
                return *inlineValue;
            if (i + 1 >= argc)
                fail(opt + " needs a value");
            return argv[++i];
        };
        if (opt == "--help" || opt == "-h") {
            o.help = true;
        } else if (opt == "--exec") {
            if (inlineValue || i + 1 >= argc)
                fail("--exec needs a PROGRAM");
            o.exec.assign(argv + i + 1, argv + argc);
            break;
        } else if (isSensorOption(opt)) {
            o.settings.push_back(splitSensor(opt, value()));
        } else if (opt == "--no-wire-time") {
            o.wireTime = false;
        } else if (opt == "--count") {
            const std::string v = value();
            if (!parseNumber(v, o.count) || o.count < 1 || o.count > 64)
                fail("--count needs a number of sensors 1..64, not '" + v + "'");
        } else if (opt == "--seed") {
            const std::string v = value();
            if (!parseNumber(v, o.seed))
                fail("--seed needs a non-negative number, not '" + v + "'");
        } else if (opt == "--log") {
            o.logPath = value();
        } else {
            fail("unknown option '" + opt + "'");
        }
    }
    // Every sensor starts from the demo set; the settings apply in the order given.
    o.sensors.resize(o.count);
    for (unsigned k = 0; k < o.count; ++k) {
        SensorOptions& s = o.sensors[k];
        s.cfg.ram = sim::defaultBlock();
        s.cfg.eeprom = sim::defaultBlock();
        s.cfg.wireTime = o.wireTime;
        s.cfg.seed = o.seed + k;
    }
    for (const Setting& st : o.settings) {
        if (st.sensor > o.count)
            fail(st.opt + " names sensor " + std::to_string(st.sensor) + ", but there are " +
                 std::to_string(o.count));
        for (unsigned k = 0; k < o.count; ++k)
            if (st.sensor == 0 || st.sensor == k + 1)
                apply(o.sensors[k], st.opt, st.value);
    }
    return o;
}

// One line per request; the sensors' threads share the file, so each line goes out in one write.
void logRequest(std::FILE* log, unsigned sensor, const sim::Request& r) {
    std::string line = sensor ? std::to_string(sensor) + " " : std::string();
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.6f", r.t);
    line += buf;
    for (auto b : r.bytes) {
        std::snprintf(buf, sizeof buf, " %02X", b);
        line += buf;
    }
    line += '\n';
    std::fputs(line.c_str(), log);
    std::fflush(log);
}

pid_t launch(std::vector<char*>& argv, const std::string& ports, const sigset_t& original) {
    const pid_t pid = fork();
    if (pid == 0) {
        setenv("ZURID_PORTS", ports.c_str(), 1);
        sigprocmask(SIG_SETMASK, &original, nullptr);
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        std::fprintf(stderr, "sensor-sim: cannot run %s: %s\n", argv[0], std::strerror(errno));
        _exit(127);
    }
    return pid;
}

} // namespace

int main(int argc, char** argv) {
    Options o = parseOptions(argc, argv);
    if (o.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    std::FILE* log = nullptr;
    if (!o.logPath.empty() && !(log = std::fopen(o.logPath.c_str(), "w"))) {
        std::fprintf(stderr, "sensor-sim: cannot write %s: %s\n", o.logPath.c_str(),
                     std::strerror(errno));
        return 2;
    }

    // Signals are taken synchronously in this thread; the simulator's thread inherits the mask.
    sigset_t wanted, original;
    sigemptyset(&wanted);
    sigaddset(&wanted, SIGINT);
    sigaddset(&wanted, SIGTERM);
    sigaddset(&wanted, SIGCHLD);
    sigprocmask(SIG_BLOCK, &wanted, &original);
    std::signal(SIGPIPE, SIG_IGN);

    std::vector<sim::Config> configs;
    for (const SensorOptions& s : o.sensors)
        configs.push_back(s.cfg);
    sim::SensorFleet fleet(std::move(configs));
    for (unsigned k = 0; k < o.count; ++k) {
        const SensorOptions& s = o.sensors[k];
        sim::SensorSim& sensor = fleet.at(k);
        sensor.setFault(s.fault, s.orderMask);
        sensor.setRandomFaults(s.randomFaults);
        if (s.lateSeconds)
            sensor.setLateSeconds(*s.lateSeconds);
        if (s.splitSeconds)
            sensor.setSplitSeconds(*s.splitSeconds);
        sensor.setHangupAfter(s.hangupAfter);
        // A single sensor keeps the plain log format.
        const unsigned number = o.count > 1 ? k + 1 : 0;
        if (log)
            sensor.setRequestHook(
                [log, number](const sim::Request& r) { logRequest(log, number, r); });
    }
    if (!fleet.start()) {
        std::fprintf(stderr, "sensor-sim: cannot open a pseudo-terminal: %s\n",
                     std::strerror(errno));
        return 1;
    }
    // With --exec, stdout is the program's: a script's output must not start with our paths.
    std::FILE* list = o.exec.empty() ? stdout : stderr;
    for (const std::string& path : fleet.paths())
        std::fprintf(list, "%s\n", path.c_str());
    std::fflush(list);

    const pid_t child = o.exec.empty() ? -1 : launch(o.exec, fleet.ports(), original);
    if (!o.exec.empty() && child < 0) {
        std::fprintf(stderr, "sensor-sim: fork failed: %s\n", std::strerror(errno));
        return 1;
    }
    int exitCode = 0;
    for (;;) {
        const int sig = sigwaitinfo(&wanted, nullptr);
        if (sig == SIGCHLD && child > 0) {
            int status = 0;
            if (waitpid(child, &status, WNOHANG) != child)
                continue;
            exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (sig == SIGINT || sig == SIGTERM) {
            if (child < 0)
                break;
            kill(child, sig); // the program ends first, then so do we
        }
    }
    fleet.stop();
    if (log)
        std::fclose(log);
    return exitCode;
}
