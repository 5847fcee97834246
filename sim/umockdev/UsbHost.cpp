// tavik-usb-host SCENARIO OUT_DIR -- PROGRAM [ARGS...]
//
// Plays the unit of a scenario file's [unit] section (sim/UnitScenario.hpp) on an emulated USB
// bus (umockdev) and runs PROGRAM against it, for the end-to-end runs of the Linux program.
// Never part of the product.
//
// - Runs under umockdev's preload library, re-executing itself through umockdev-wrapper when it
//   does not: the uevents it sends reach the program only then.
// - PROGRAM is its child: it inherits UMOCKDEV_DIR and LD_PRELOAD (so its libusb sees the bus),
//   reads nothing, writes its standard output to OUT_DIR/stdout.txt, and is killed should the
//   host die first. For a unit with no-access, PROGRAM runs as the user "nobody" when the host
//   runs as root, since root opens any device node whatever its permissions.
// - The unit is on the bus from the start, or arrives and is unplugged at the scenario's times,
//   counted from the start of PROGRAM.
// - OUT_DIR receives wire.log (every request, in the Windows test DLLs' format),
//   unit-image-start.bin and, once PROGRAM has ended, unit-image.bin: what the unit holds then.
//   A scenario with several [unit] sections puts each unit on the bus; the first one's outputs
//   are named as above, those of the unit of section N (from 2) wire-N.log,
//   unit-image-start-N.bin and unit-image-N.bin. The restart notice is the first unit's.
//   A scenario it cannot play, or a bus it cannot build, is reported on standard error and in
//   OUT_DIR/host-error.txt, and PROGRAM is not started (exit code 2).
//
// Exit code: PROGRAM's own, 128 + the signal number when a signal ended it, 2 for a usage or
// scenario error, 127 when PROGRAM could not be started.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim/ScenarioUnit.hpp"
#include "sim/UnitScenario.hpp"
#include "sim/umockdev/EmulatedUsbBus.hpp"

namespace {

using tavik::sim::UnitScenario;
using Clock = std::chrono::steady_clock;

constexpr int usageError = 2;
constexpr int startError = 127;

bool readFile(const std::string& path, std::vector<std::uint8_t>& bytes) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return false;
    }
    bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return !file.bad();
}

bool writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(file);
}

int reportError(const std::string& outDir, const std::string& why) {
    const std::string line = "usb host: " + why + "\n";
    std::fputs(line.c_str(), stderr);
    writeFile(outDir + "/host-error.txt", {line.begin(), line.end()});
    return usageError;
}

// True when umockdev's preload library is among the libraries preloaded into this process.
bool underPreload() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, "libumockdev-preload") != nullptr;
}

// The user a program without the permission to open the unit's node runs as.
struct Unprivileged {
    uid_t uid;
    gid_t gid;
};

std::optional<Unprivileged> nobody() {
    const passwd* user = getpwnam("nobody");
    if (user == nullptr) {
        return std::nullopt;
    }
    return Unprivileged{user->pw_uid, user->pw_gid};
}

// Starts the program; returns its process id, or -1. Between fork and exec only
// async-signal-safe calls: the bus's threads keep running in the parent.
pid_t startProgram(char** argv, int stdoutFile, std::optional<Unprivileged> runAs) {
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child != 0) {
        return child;
    }
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) {
        _exit(startError);  // the host is already gone
    }
    const int nothing = open("/dev/null", O_RDONLY);
    if (nothing < 0 || dup2(nothing, STDIN_FILENO) < 0 || dup2(stdoutFile, STDOUT_FILENO) < 0) {
        _exit(startError);
    }
    if (runAs &&
        (setgroups(0, nullptr) != 0 || setgid(runAs->gid) != 0 || setuid(runAs->uid) != 0)) {
        _exit(startError);
    }
    execvp(argv[0], argv);
    const char message[] = "usb host: cannot start the program\n";
    [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, message, sizeof message - 1);
    _exit(startError);
}

// Carries out the scenario's arrivals and unplugs at their times from `start`, until stopped.
class Timeline {
  public:
    Timeline(tavik::sim::EmulatedUsbBus& bus, std::shared_ptr<tavik::sim::SimulatedUnit> unit,
             tavik::sim::PlugOptions plugOptions, std::shared_ptr<tavik::sim::WireLog> wireLog,
             std::vector<UnitScenario::TimedEvent> events, Clock::time_point start)
        : bus_(bus),
          unit_(std::move(unit)),
          plugOptions_(plugOptions),
          wireLog_(std::move(wireLog)),
          events_(std::move(events)),
          start_(start),
          thread_([this] { run(); }) {}
    Timeline(const Timeline&) = delete;
    Timeline& operator=(const Timeline&) = delete;
    ~Timeline() { stop(); }

    void stop() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        if (thread_.joinable()) {
            thread_.join();
        }
    }

  private:
    void run() {
        std::stable_sort(events_.begin(), events_.end(),
                         [](const auto& a, const auto& b) { return a.at < b.at; });
        for (const UnitScenario::TimedEvent& event : events_) {
            {
                std::unique_lock lock(mutex_);
                if (changed_.wait_until(lock, start_ + event.at, [this] { return stopping_; })) {
                    return;
                }
            }
            if (event.kind == UnitScenario::EventKind::arrive) {
                if (!bus_.plug(unit_, plugOptions_, wireLog_)) {
                    std::fputs("usb host: the unit could not be plugged in\n", stderr);
                }
            } else {
                bus_.unplug(unit_);
            }
        }
    }

    tavik::sim::EmulatedUsbBus& bus_;
    const std::shared_ptr<tavik::sim::SimulatedUnit> unit_;
    const tavik::sim::PlugOptions plugOptions_;
    const std::shared_ptr<tavik::sim::WireLog> wireLog_;
    std::vector<UnitScenario::TimedEvent> events_;
    const Clock::time_point start_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool stopping_ = false;
    std::thread thread_;  // last: it starts once everything above is set
};

int exitCodeOf(int status) {
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : startError;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5 || std::strcmp(argv[3], "--") != 0) {
        std::fputs("usage: tavik-usb-host SCENARIO OUT_DIR -- PROGRAM [ARGS...]\n", stderr);
        return usageError;
    }
    if (!underPreload()) {
        std::vector<char*> wrapped{const_cast<char*>("umockdev-wrapper")};
        wrapped.insert(wrapped.end(), argv, argv + argc);
        wrapped.push_back(nullptr);
        // Through /proc/self/exe: argv[0] may be a relative name found on PATH.
        std::string self(4096, '\0');
        const ssize_t length = readlink("/proc/self/exe", self.data(), self.size() - 1);
        if (length > 0) {
            self.resize(static_cast<std::size_t>(length));
            wrapped[1] = self.data();
        }
        execvp(wrapped[0], wrapped.data());
        std::perror("usb host: cannot run umockdev-wrapper");
        return startError;
    }

    const std::string scenarioPath = argv[1];
    const std::string outDir = argv[2];
    std::vector<std::uint8_t> text;
    if (!readFile(scenarioPath, text)) {
        return reportError(outDir, "cannot read " + scenarioPath);
    }
    const tavik::sim::UnitScenarioParse parse =
        tavik::sim::parseUnitScenario({reinterpret_cast<const char*>(text.data()), text.size()});
    if (!parse.error.empty()) {
        return reportError(outDir, parse.error);
    }
    // The units: the first section's, then one a further [unit] section (outputs named N, from
    // 2: wire-2.log, unit-image-2.bin, ...).
    std::vector<UnitScenario> scenarios{parse.scenario};
    scenarios.insert(scenarios.end(), parse.others.begin(), parse.others.end());
    const std::string folder = scenarioPath.substr(0, scenarioPath.find_last_of('/') + 1);
    struct HostedUnit {
        std::shared_ptr<tavik::sim::SimulatedUnit> unit;
        std::string suffix;  // of its output files: "" for the first, "-N" for the others
        tavik::sim::PlugOptions plugOptions;
        std::shared_ptr<tavik::sim::WireLog> wireLog;  // null for the first: the bus's
    };
    std::vector<HostedUnit> units;
    bool noAccess = false;
    for (std::size_t i = 0; i < scenarios.size(); ++i) {
        const tavik::sim::ScenarioUnit made = tavik::sim::makeScenarioUnit(
            scenarios[i], [&folder](const std::string& name, std::vector<std::uint8_t>& bytes) {
                return readFile(folder + name, bytes);
            });
        if (!made.unit) {
            return reportError(outDir, made.error);
        }
        const std::string suffix = i == 0 ? "" : "-" + std::to_string(i + 1);
        if (!writeFile(outDir + "/unit-image-start" + suffix + ".bin", made.unit->image())) {
            return reportError(outDir, "cannot write to " + outDir);
        }
        const tavik::sim::PlugOptions plugOptions{.accessDenied = scenarios[i].noAccess};
        std::shared_ptr<tavik::sim::WireLog> wireLog;
        if (i > 0) {
            wireLog = std::make_shared<tavik::sim::WireLog>();
            wireLog->open(std::fopen((outDir + "/wire" + suffix + ".log").c_str(), "wb"));
        }
        units.push_back({made.unit, suffix, plugOptions, wireLog});
        noAccess = noAccess || scenarios[i].noAccess;
    }

    std::optional<Unprivileged> runAs;
    if (noAccess && geteuid() == 0) {
        runAs = nobody();
        if (!runAs) {
            return reportError(outDir, "no user \"nobody\" to run a program without access");
        }
    }
    const int stdoutFile =
        open((outDir + "/stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (stdoutFile < 0) {
        return reportError(outDir, "cannot write to " + outDir);
    }

    int status = 0;
    {
        tavik::sim::EmulatedUsbBus bus(
            {.wireLog = outDir + "/wire.log", .restartNotice = scenarios[0].restartNotice});
        for (std::size_t i = 0; i < units.size(); ++i) {
            if (scenarios[i].presentAtStart &&
                !bus.plug(units[i].unit, units[i].plugOptions, units[i].wireLog)) {
                return reportError(outDir, "the unit could not be put on the bus");
            }
        }
        const pid_t program = startProgram(argv + 4, stdoutFile, runAs);
        if (program < 0) {
            std::perror("usb host: fork");
            return startError;
        }
        const Clock::time_point start = Clock::now();
        std::vector<std::unique_ptr<Timeline>> timelines;
        for (std::size_t i = 0; i < units.size(); ++i) {
            timelines.push_back(std::make_unique<Timeline>(bus, units[i].unit, units[i].plugOptions,
                                                           units[i].wireLog, scenarios[i].events,
                                                           start));
        }
        while (waitpid(program, &status, 0) < 0 && errno == EINTR) {
        }
        for (const auto& timeline : timelines) {
            timeline->stop();
        }
    }
    close(stdoutFile);
    for (const HostedUnit& hosted : units) {
        writeFile(outDir + "/unit-image" + hosted.suffix + ".bin", hosted.unit->image());
    }
    return exitCodeOf(status);
}
