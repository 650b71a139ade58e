// The agents the benchmark compares, and the sandbox roots pairgated runs in.
#include "bench/agent_setups.h"

#include <sys/stat.h>

#include <filesystem>
#include <fstream>

namespace bench {

const char *const polling_reference_agent = "bare agent, 1 ms loop";
const char *const sample_floor_agent = "bare agent, 20 ms loop";
const char *const window_closed_agent = "pairgated, input selected";
const char *const window_open_agent = "pairgated, window open";

namespace {

namespace fs = std::filesystem;

bool write_file(const fs::path &path, const std::string &content) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << content;
    return static_cast<bool>(file.flush());
}

// The GPIO stand-in logs every reading to a file while PAIRGATE_SIM_DIR is
// set, which would cost the daemon more than the reading itself; so the daemon
// runs without it, and the I/O tool stand-in is told its directory here.
bool install_io_tool(const fs::path &root, const std::string &fake_io, bool active) {
    const fs::path tool = root / "io";
    const bool written = write_file(tool, "#!/bin/sh\nPAIRGATE_SIM_DIR='" + root.string() +
                                              "' exec '" + fake_io + "' \"$@\"\n") &&
                         chmod(tool.c_str(), 0755) == 0;
    // The tool's first output byte ("1", its default) says the input exists;
    // its exit code and the GPIO levels that follow are the input's reading
    // (0 active, 1 inactive).
    const std::string level = active ? "0" : "1";
    return written && write_file(root / "io.exit", level + "\n") &&
           write_file(root / "gpio", level + " 1 1 1");
}

bool lay_out_root(const fs::path &root, bool with_input, const std::string &fake_io,
                  bool active = false) {
    std::error_code error;
    fs::create_directories(root / "etc", error);
    fs::create_directories(root / "var-tmp", error);
    if (error) {
        return false;
    }
    const std::string settings =
        std::string("MOD_BLUETOOTH_SYSLOGLEV=0\n") +
        (with_input ? "MOD_BLUETOOTH_PAIRABLE_BIN=0\n" : "MOD_BLUETOOTH_PAIRABLE_BIN=\n");
    return write_file(root / "etc" / "settings", settings) &&
           (!with_input || install_io_tool(root, fake_io, active));
}

agent_setup daemon_setup(const bench_paths &paths, const std::string &name, const fs::path &root,
                         const std::string &log) {
    agent_setup setup;
    setup.name = name;
    setup.command = {paths.sandbox,  "--preload", paths.gpio_preload, root.string(), "--",
                     "/usr/bin/env", "-u",        "PAIRGATE_SIM_DIR", paths.daemon};
    setup.log_path = paths.out + "/" + log;
    setup.pipe_dir = (root / "var-tmp").string();
    setup.ready_on_set = true;
    return setup;
}

}  // namespace

bool make_setups(const bench_paths &paths, std::vector<agent_setup> *setups, std::string *problem) {
    const fs::path quiet_root = fs::path(paths.work) / "no-input";
    const fs::path input_root = fs::path(paths.work) / "input";
    const fs::path open_root = fs::path(paths.work) / "window-open";
    if (!lay_out_root(quiet_root, false, paths.fake_io) ||
        !lay_out_root(input_root, true, paths.fake_io) ||
        !lay_out_root(open_root, true, paths.fake_io, true)) {
        *problem = "cannot lay out the sandbox roots in " + paths.work;
        return false;
    }
    agent_setup bare;
    bare.name = "bare agent";
    bare.command = {paths.bare_agent};
    bare.log_path = paths.out + "/bare-agent.log";
    agent_setup polling = bare;
    polling.name = polling_reference_agent;
    polling.command = {paths.bare_agent, "--timeout-ms", "1"};
    polling.log_path = paths.out + "/bare-agent-1ms.log";
    agent_setup floor = bare;
    floor.name = sample_floor_agent;
    floor.command = {paths.bare_agent, "--timeout-ms", "20"};
    floor.log_path = paths.out + "/bare-agent-20ms.log";
    *setups = {bare,
               polling,
               floor,
               daemon_setup(paths, "pairgated, no input", quiet_root, "pairgated-no-input.log"),
               daemon_setup(paths, window_closed_agent, input_root, "pairgated-input.log"),
               daemon_setup(paths, window_open_agent, open_root, "pairgated-window-open.log")};
    return true;
}

}  // namespace bench
