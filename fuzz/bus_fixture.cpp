// The private bus of the fuzz targets: dbus-daemon as a child and BlueZ's stand-in.
#include "fuzz/bus_fixture.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// Every client may own, send and receive anything: the bus only carries messages.
constexpr const char *bus_config =
    "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
    " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
    "<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen>\n"
    "<auth>EXTERNAL</auth><policy context=\"default\">\n"
    "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>\n"
    "<allow own=\"*\"/></policy></busconfig>\n";

struct fixture {
    pid_t daemon_pid = -1;
    DBusConnection *connection = nullptr;
    DBusConnection *bluez = nullptr;
    std::thread bluez_thread;
    std::atomic<bool> stop{false};
    std::atomic<bluez_answer> answer{bluez_answer::success};
    std::atomic<unsigned long> calls{0};
    std::atomic<bool> recording{false};
    std::mutex recorded_lock;
    std::vector<std::string> recorded;
    std::mutex failing_lock;
    const char *failing_member = nullptr;  // with failing_error: the one call to fail
    const char *failing_error = nullptr;
};

fixture *the_fixture = nullptr;

[[noreturn]] void fail(const char *what) {
    fprintf(stderr, "fuzz bus: %s\n", what);
    abort();
}

std::string write_config() {
    char path[] = "/tmp/pairgate-fuzz-bus-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) {
        fail("cannot write the bus configuration");
    }
    const std::string text = bus_config;
    if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        fail("cannot write the bus configuration");
    }
    close(fd);
    return path;
}

// Runs dbus-daemon, tied to this process by a parent-death signal, and
// returns the address it prints.
std::string start_daemon(fixture &f) {
    const std::string config = write_config();
    int out[2];
    if (pipe(out) != 0) {
        fail("pipe");
    }
    f.daemon_pid = fork();
    if (f.daemon_pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        dup2(out[1], 1);
        const std::string option = "--config-file=" + config;
        execlp("dbus-daemon", "dbus-daemon", option.c_str(), "--nofork", "--print-address=1",
               static_cast<char *>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string address;
    char c = 0;
    while (read(out[0], &c, 1) == 1 && c != '\n') {
        address += c;
    }
    close(out[0]);
    unlink(config.c_str());
    if (address.empty()) {
        fail("dbus-daemon gave no address");
    }
    return address;
}

DBusConnection *connect(const std::string &address) {
    DBusError error;
    dbus_error_init(&error);
    DBusConnection *connection = dbus_connection_open_private(address.c_str(), &error);
    if (connection == nullptr || !dbus_bus_register(connection, &error)) {
        fail(error.message != nullptr ? error.message : "cannot connect to the bus");
    }
    dbus_connection_set_exit_on_disconnect(connection, FALSE);
    return connection;
}

// The argument after args when it is a string, or "".
std::string next_text(DBusMessageIter *args) {
    const char *text = "";
    if (dbus_message_iter_next(args) && dbus_message_iter_get_arg_type(args) == DBUS_TYPE_STRING) {
        dbus_message_iter_get_basic(args, &text);
    }
    return text;
}

// The argument after args when it is a variant of a boolean: " true" or
// " false"; "" for anything else.
std::string next_flag(DBusMessageIter *args) {
    DBusMessageIter variant;
    dbus_bool_t flag = FALSE;
    if (!dbus_message_iter_next(args) ||
        dbus_message_iter_get_arg_type(args) != DBUS_TYPE_VARIANT) {
        return "";
    }
    dbus_message_iter_recurse(args, &variant);
    if (dbus_message_iter_get_arg_type(&variant) != DBUS_TYPE_BOOLEAN) {
        return "";
    }
    dbus_message_iter_get_basic(&variant, &flag);
    return flag ? " true" : " false";
}

// "Set PROPERTY VALUE", "RegisterAgent CAPABILITY", or the member alone.
std::string describe(DBusMessage *call) {
    const char *member = dbus_message_get_member(call);
    const std::string line = member != nullptr ? member : "";
    DBusMessageIter args;
    if (!dbus_message_iter_init(call, &args)) {
        return line;
    }
    if (line == "RegisterAgent") {
        return line + " " + next_text(&args);
    }
    if (line == "Set") {
        const std::string property = next_text(&args);
        return line + " " + property + next_flag(&args);
    }
    return line;
}

void record_call(fixture &f, DBusMessage *call) {
    if (f.recording.load()) {
        const std::lock_guard<std::mutex> hold(f.recorded_lock);
        f.recorded.push_back(describe(call));
    }
}

// The error name for the call if it is the one to fail, which then is failed.
const char *take_failure(fixture &f, DBusMessage *call) {
    std::lock_guard<std::mutex> hold(f.failing_lock);
    const char *error = nullptr;
    if (f.failing_member != nullptr && dbus_message_has_member(call, f.failing_member)) {
        error = f.failing_error;
        f.failing_member = nullptr;
    }
    return error;
}

void answer_call(fixture &f, DBusMessage *call) {
    const char *failure = take_failure(f, call);
    if (failure == nullptr && f.answer.load() == bluez_answer::none) {
        return;
    }
    DBusMessage *reply =
        failure != nullptr ? dbus_message_new_error(call, failure, "refused by the test")
        : f.answer.load() == bluez_answer::success
            ? dbus_message_new_method_return(call)
            : dbus_message_new_error(call, "org.bluez.Error.Failed", "refused by the fuzzer");
    if (reply != nullptr) {
        dbus_connection_send(f.bluez, reply, nullptr);
        dbus_message_unref(reply);
    }
}

void serve_bluez(fixture &f) {
    while (!f.stop.load() && dbus_connection_read_write(f.bluez, 50)) {
        while (DBusMessage *message = dbus_connection_pop_message(f.bluez)) {
            if (dbus_message_get_type(message) == DBUS_MESSAGE_TYPE_METHOD_CALL &&
                !dbus_message_get_no_reply(message)) {
                f.calls++;
                record_call(f, message);
                answer_call(f, message);
            }
            dbus_message_unref(message);
        }
    }
}

void stop_fixture() {
    fixture &f = *the_fixture;
    f.stop = true;
    f.bluez_thread.join();
    for (DBusConnection *connection : {f.bluez, f.connection}) {
        dbus_connection_close(connection);
        dbus_connection_unref(connection);
    }
    kill(f.daemon_pid, SIGTERM);
    waitpid(f.daemon_pid, nullptr, 0);
    delete the_fixture;
    the_fixture = nullptr;
}

fixture &started_fixture() {
    if (the_fixture != nullptr) {
        return *the_fixture;
    }
    dbus_threads_init_default();
    the_fixture = new fixture;
    fixture &f = *the_fixture;
    const std::string address = start_daemon(f);
    f.bluez = connect(address);
    DBusError error;
    dbus_error_init(&error);
    if (dbus_bus_request_name(f.bluez, "org.bluez", DBUS_NAME_FLAG_DO_NOT_QUEUE, &error) !=
        DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER) {
        fail("the stand-in cannot own org.bluez");
    }
    f.connection = connect(address);
    f.bluez_thread = std::thread(serve_bluez, std::ref(f));
    atexit(stop_fixture);
    return f;
}

}  // namespace

DBusConnection *fuzz_bus_connection() {
    return started_fixture().connection;
}

void fuzz_bluez_answers(bluez_answer answer) {
    started_fixture().answer = answer;
}

void fuzz_bluez_fail_next(const char *member, const char *error_name) {
    fixture &f = started_fixture();
    std::lock_guard<std::mutex> hold(f.failing_lock);
    f.failing_member = member;
    f.failing_error = error_name;
}

unsigned long fuzz_bluez_calls() {
    return started_fixture().calls.load();
}

void fuzz_bluez_record_calls() {
    started_fixture().recording = true;
}

std::vector<std::string> fuzz_bluez_take_calls() {
    fixture &f = started_fixture();
    const std::lock_guard<std::mutex> hold(f.recorded_lock);
    std::vector<std::string> taken;
    taken.swap(f.recorded);
    return taken;
}

const char *fuzz_bluez_unique_name() {
    return dbus_bus_get_unique_name(started_fixture().bluez);
}

void fuzz_bus_drain() {
    DBusConnection *connection = started_fixture().connection;
    dbus_connection_flush(connection);
    while (dbus_connection_read_write(connection, 0)) {
        DBusMessage *message = dbus_connection_pop_message(connection);
        if (message == nullptr) {
            return;
        }
        dbus_message_unref(message);
    }
}
