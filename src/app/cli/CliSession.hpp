#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app/UpdaterProgram.hpp"
#include "app/cli/CliConsole.hpp"
#include "app/cli/CliLog.hpp"
#include "app/cli/CliOptions.hpp"
#include "app/cli/CliReport.hpp"
#include "app/cli/ExitCode.hpp"
#include "app/cli/InterruptGuard.hpp"
#include "app/cli/ProgressReporter.hpp"
#include "app/cli/UnitSelection.hpp"
#include "contracts/RunEnd.hpp"
#include "device/DeviceAccess.hpp"
#include "device/HotplugMonitor.hpp"
#include "engine/OpenRetryPolicy.hpp"
#include "firmware/UnitOffer.hpp"
#include "runtime/TaskQueue.hpp"
#include "runtime/WorkerLauncher.hpp"
#include "session/UpdaterSession.hpp"

namespace tavik::cli {

// One command of the command line, from finding the unit to the report: the program (engine and
// session) driven on a TaskQueue that this thread pumps, with this object as the session's
// front end, as the window is in the window programs. The offer, the image and the end of a run
// come from the session, as there. The engine opens units through a UnitSelection of the given
// access: the unit with --serial, or the only one attached; list shows several at once from
// the selection's identification of them.
class CliSession final : public UpdaterSession::FrontEnd {
  public:
    struct Environment {
        DeviceAccess& devices;
        // Arrivals for --wait; null where the platform has none (the session then polls).
        HotplugMonitor* hotplug = nullptr;
        // The loop the engine's completions and the monitor's events are posted to; the session
        // pumps it and closes it when it ends.
        std::shared_ptr<TaskQueue> loop;
        CliConsole& console;
        std::ostream& out;
        std::ostream& err;
        // The platform's remedy for access denied (Linux: the udev rule); may be empty.
        std::string accessDeniedRemedy;
        // Starts each request's worker thread.
        WorkerLauncher launchWorker = launchDetachedThread;
        // How a unit that is there but not ready is tried again (on `loop`).
        OpenRetryPolicy openRetry;
    };

    // How often --wait looks for a unit where there is no hotplug.
    static constexpr std::chrono::milliseconds pollInterval{500};

    CliSession(const CliOptions& options, Environment environment);
    CliSession(const CliSession&) = delete;
    CliSession& operator=(const CliSession&) = delete;
    ~CliSession();

    // Runs the command and prints its report; returns the exit code. Once only.
    ExitCode run();

    // --- UpdaterSession::FrontEnd ----------------------------------------------------------
    void onUnitConnected(const ConnectedUnit& unit) override;
    void onUnitDisconnected() override {}
    void onAccessDenied() override { accessDenied_ = true; }
    void onRunStarted() override {}
    void onRunProgress() override;
    void onRunEnded(const RunEnd& end) override { runEnd_ = end; }

  private:
    ExitCode execute();
    bool findUnit();
    // Pumps the loop while the engine is to try the unit again; false when Ctrl-C ended it.
    bool settle();
    ExitCode runCommand();
    bool confirmUpdate();
    // Starts a run (check or update) and pumps the loop until it ends.
    ExitCode runToEnd(bool check);
    // Runs posted tasks for up to `span`, then applies the Ctrl-C rule to presses not yet
    // handled; false when a press ends the program.
    bool pump(std::chrono::milliseconds span);
    bool writing() const;
    static std::string phaseName(UpdateState state);
    ExitCode finish(Outcome outcome, ExitCode code);
    // The selection refused for good: several units and no serial, or a serial two units report.
    bool refusedForGood() const;
    std::vector<ReportedUnit> reportedUnits() const;
    // list with several units attached: each as the selection identified it.
    ExitCode listSeveral();

    const CliOptions options_;
    Environment env_;
    CliLog log_;
    ProgressReporter progress_;
    InterruptGuard guard_;
    int pressesHandled_ = 0;
    UnitSelection selection_;
    UpdaterProgram program_;
    Updater& updater_ = program_.updater;

    bool accessDenied_ = false;
    std::optional<UnitOffer> offer_;
    std::string versionText_;
    // How the run ended.
    std::optional<RunEnd> runEnd_;
    CliReport report_;
};

}  // namespace tavik::cli
