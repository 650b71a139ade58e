// pairgate-bench: runs pairgated and bare agents side by side beside a
// BlueZ stand-in on the bus of $DBUS_SYSTEM_BUS_ADDRESS, and prints what each
// costs as Markdown. scripts/bench starts the bus and gives the paths.
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>

#include "bench/agent_setups.h"
#include "bench/bluez_standin.h"
#include "bench/report.h"

namespace {

using namespace bench;

constexpr const char *usage =
    "usage: pairgate-bench --bare-agent PATH --daemon PATH --sandbox PATH --gpio-preload PATH\n"
    "                      --fake-io PATH --work DIR --out DIR [--calls N] [--idle-seconds S]\n"
    "                      [--pairings N] [--size PATH]... [--label TEXT]\n";

struct options {
    bench_paths paths;
    run_options run;
    std::vector<std::string> sized;
    std::string label;
};

bool read_number(const char *text, double minimum, double *value) {
    char *end = nullptr;
    *value = strtod(text, &end);
    return end != text && *end == '\0' && *value >= minimum;
}

// Stores one "--name value" pair; false when the name is unknown or the value wrong.
bool take_option(const std::string &name, const char *value, options *parsed) {
    const std::map<std::string, std::string *> texts = {
        {"--bare-agent", &parsed->paths.bare_agent},
        {"--daemon", &parsed->paths.daemon},
        {"--sandbox", &parsed->paths.sandbox},
        {"--fake-io", &parsed->paths.fake_io},
        {"--gpio-preload", &parsed->paths.gpio_preload},
        {"--work", &parsed->paths.work},
        {"--out", &parsed->paths.out},
        {"--label", &parsed->label}};
    double number = 0;
    if (texts.count(name) != 0) {
        *texts.at(name) = value;
    } else if (name == "--size") {
        parsed->sized.emplace_back(value);
    } else if (name == "--calls" && read_number(value, 1, &number)) {
        parsed->run.calls = static_cast<unsigned>(number);
    } else if (name == "--idle-seconds" && read_number(value, 0.1, &number)) {
        parsed->run.idle_seconds = number;
    } else if (name == "--pairings" && read_number(value, 0, &number)) {
        parsed->run.pairings = static_cast<unsigned>(number);
    } else {
        return false;
    }
    return true;
}

bool parse(int argc, char **argv, options *parsed) {
    for (int i = 1; i < argc; i += 2) {
        if (i + 1 >= argc || !take_option(argv[i], argv[i + 1], parsed)) {
            return false;
        }
    }
    const bench_paths &paths = parsed->paths;
    return !paths.bare_agent.empty() && !paths.daemon.empty() && !paths.sandbox.empty() &&
           !paths.gpio_preload.empty() && !paths.fake_io.empty() && !paths.work.empty() &&
           !paths.out.empty();
}

std::string first_line_with(const char *path, const char *start) {
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        if (line.rfind(start, 0) == 0) {
            return line;
        }
    }
    return "";
}

std::string load_average() {
    std::string load;
    std::ifstream("/proc/loadavg") >> load;
    return load;
}

// The machine in one sentence, for the reader of the figures. The load
// others put on it shows in the round trips' tails.
std::string describe_setting(const std::string &label, const std::string &load_at_start) {
    utsname system{};
    uname(&system);
    std::string cpu = first_line_with("/proc/cpuinfo", "model name");
    cpu = cpu.empty() ? "unknown CPU" : cpu.substr(cpu.find(':') + 2);
    return "Measured on " + std::string(system.machine) + ", " +
           std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + " cores (" + cpu + "), Linux " +
           system.release + ", load average " + load_at_start + " at start and " + load_average() +
           " at the end; a private dbus-daemon; BlueZ played by the libdbus stand-in of bench/." +
           (label.empty() ? "" : " " + label);
}

std::vector<file_size> sizes_of(const std::vector<std::string> &paths) {
    std::vector<file_size> sizes;
    for (const std::string &path : paths) {
        struct stat status {};
        const long long bytes = stat(path.c_str(), &status) == 0 ? status.st_size : -1;
        sizes.push_back({path.substr(path.rfind('/') + 1), bytes});
    }
    return sizes;
}

bool write_text(const std::string &path, const std::string &text) {
    std::ofstream file(path, std::ios::trunc);
    file << text;
    return static_cast<bool>(file.flush());
}

DBusConnection *connect_as_bluez(DBusError *error) {
    DBusConnection *connection = dbus_bus_get_private(DBUS_BUS_SYSTEM, error);
    if (connection != nullptr) {
        dbus_connection_set_exit_on_disconnect(connection, FALSE);
    }
    return connection;
}

int run(const options &parsed) {
    report_input input;
    const std::string load_at_start = load_average();
    input.options = parsed.run;
    input.polling_reference = polling_reference_agent;
    input.sample_floor = sample_floor_agent;
    input.window_closed = window_closed_agent;
    input.window_open = window_open_agent;
    input.sizes = sizes_of(parsed.sized);
    std::vector<agent_setup> setups;
    std::string problem;
    DBusError error;
    dbus_error_init(&error);
    DBusConnection *connection = connect_as_bluez(&error);
    if (connection == nullptr || !make_setups(parsed.paths, &setups, &problem)) {
        (void)fprintf(stderr, "pairgate-bench: %s\n", connection ? problem.c_str() : error.message);
        return 1;
    }
    {
        bluez_standin standin(connection);
        if (!standin.start(&error)) {
            (void)fprintf(stderr, "pairgate-bench: cannot play BlueZ: %s\n", error.message);
            return 1;
        }
        input.agents = run_agents(connection, standin, setups, parsed.run);
    }
    dbus_connection_close(connection);
    dbus_connection_unref(connection);
    input.setting = describe_setting(parsed.label, load_at_start);
    const std::string report = markdown_report(input);
    (void)fputs(report.c_str(), stdout);
    const bool written =
        write_text(parsed.paths.out + "/results.md", report) &&
        write_text(parsed.paths.out + "/latency.dat", latency_plot_data(input.agents));
    return written ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
    options parsed;
    if (!parse(argc, argv, &parsed)) {
        (void)fputs(usage, stderr);
        return 2;
    }
    return run(parsed);
}
