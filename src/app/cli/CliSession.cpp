#include "app/cli/CliSession.hpp"

#include <algorithm>
#include <utility>

#include "runtime/EventLoopCompletionPoster.hpp"

namespace tavik::cli {

namespace {

using SteadyClock = std::chrono::steady_clock;

// The longest the loop waits before the Ctrl-C presses are looked at again.
constexpr std::chrono::milliseconds pressLatency{50};

ProgressReporter::Mode progressMode(const CliOptions& options, CliConsole& console) {
    if (options.quiet) {
        return ProgressReporter::Mode::none;
    }
    if (options.json) {
        return ProgressReporter::Mode::json;
    }
    return console.outputIsTerminal() ? ProgressReporter::Mode::terminal
                                      : ProgressReporter::Mode::lines;
}

}  // namespace

CliSession::CliSession(const CliOptions& options, Environment environment)
    : options_(options),
      env_(std::move(environment)),
      log_(env_.err, options.verbose),
      progress_(env_.out, progressMode(options, env_.console)),
      selection_(env_.devices, options.serial),
      program_(*this, selection_,
               std::make_shared<EventLoopCompletionPoster>(
                   env_.loop,
                   [this](bool success, std::uint64_t bytes) {
                       updater_.onTransferComplete(success, bytes);
                   }),
               log_, env_.launchWorker, env_.loop, env_.openRetry) {
    report_.command = options.command;
    report_.accessDeniedRemedy = env_.accessDeniedRemedy;
    report_.serial = options.serial;
}

// Completions still on their way are dropped with the loop: a worker that outlives the session
// posts harmlessly, and the engine it would reach is gone.
CliSession::~CliSession() {
    if (env_.hotplug != nullptr) {
        env_.hotplug->stop();
    }
    env_.loop->close();
}

ExitCode CliSession::run() {
    const ExitCode code = execute();
    if (code == ExitCode::interrupted && report_.outcome != Outcome::interrupted) {
        report_.phase = phaseName(updater_.state());
        return finish(Outcome::interrupted, ExitCode::interrupted);
    }
    return code;
}

ExitCode CliSession::execute() {
    if (options_.command == Command::update && !options_.yes && !env_.console.inputIsTerminal()) {
        env_.err << "tavik-cli: update asks for confirmation, but standard input is not a "
                    "terminal: add --yes\n";
        return ExitCode::usage;
    }
    if (!findUnit()) {
        return ExitCode::interrupted;
    }
    switch (selection_.refusal()) {
        case UnitSelection::Refusal::severalUnits:
            if (options_.command == Command::list) {
                return listSeveral();
            }
            return finish(Outcome::severalUnits, ExitCode::severalUnits);
        case UnitSelection::Refusal::sameSerial:
            return finish(Outcome::sameSerial, ExitCode::severalUnits);
        case UnitSelection::Refusal::none:
        case UnitSelection::Refusal::serialNotFound:
            break;
    }
    if (accessDenied_) {
        return finish(Outcome::accessDenied, ExitCode::accessDenied);
    }
    if (!offer_) {
        return finish(Outcome::noUnit, ExitCode::noUnit);
    }
    report_.unit = offer_;
    report_.versionText = versionText_;
    if (!options_.json) {
        env_.out << renderUnitText(report_) << std::flush;
    }
    return runCommand();
}

// Looks once, then (with --wait) on every arrival the monitor reports and every pollInterval
// until a unit is open, one is found that may not be opened, the selection refuses for good, or
// the time is up. A unit that is there but not ready is tried again as the engine's policy says,
// within the wait or beyond it. False when Ctrl-C ended the wait.
bool CliSession::findUnit() {
    updater_.connectDevice();
    if (offer_ || accessDenied_ || refusedForGood() || options_.waitSeconds == 0) {
        return pump(std::chrono::milliseconds(0)) && settle();
    }
    const auto deadline = SteadyClock::now() + std::chrono::seconds(options_.waitSeconds);
    if (env_.hotplug != nullptr) {
        env_.hotplug->start({[this] { updater_.connectDevice(); }, [] {}});
    }
    auto nextPoll = SteadyClock::now() + pollInterval;
    bool interrupted = false;
    for (auto now = SteadyClock::now();
         !offer_ && !accessDenied_ && !refusedForGood() && now < deadline;
         now = SteadyClock::now()) {
        if (!pump(std::min<std::chrono::milliseconds>(
                pressLatency,
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now)))) {
            interrupted = true;
            break;
        }
        if (!offer_ && !updater_.openRetryPending() && SteadyClock::now() >= nextPoll) {
            updater_.connectDevice();
            nextPoll = SteadyClock::now() + pollInterval;
        }
    }
    if (env_.hotplug != nullptr) {
        env_.hotplug->stop();
    }
    return !interrupted && settle();
}

bool CliSession::settle() {
    while (!offer_ && !accessDenied_ && !refusedForGood() && updater_.openRetryPending()) {
        if (!pump(pressLatency)) {
            return false;
        }
    }
    return true;
}

bool CliSession::refusedForGood() const {
    return selection_.refusal() == UnitSelection::Refusal::severalUnits ||
           selection_.refusal() == UnitSelection::Refusal::sameSerial;
}

// Each unit the selection identified, with the offer the session would choose for it.
std::vector<ReportedUnit> CliSession::reportedUnits() const {
    std::vector<ReportedUnit> units;
    for (const ListedUnit& listed : selection_.listed()) {
        ReportedUnit unit{
            .key = listed.key, .unit = {}, .versionText = {}, .open = listed.open.status};
        if (listed.identified()) {
            const std::string& version = listed.identity.version;
            const std::size_t plus = version.find('+');
            const std::string_view build = plus == std::string::npos
                                               ? std::string_view()
                                               : std::string_view(version).substr(plus + 1);
            unit.unit =
                chooseUnitOffer(listed.identity.product, listed.identity.serial, version, build);
            unit.versionText = version;
        }
        units.push_back(std::move(unit));
    }
    return units;
}

ExitCode CliSession::listSeveral() {
    report_.units = reportedUnits();
    if (!options_.json) {
        env_.out << renderUnitText(report_) << std::flush;
    }
    const bool denied = std::any_of(
        report_.units.begin(), report_.units.end(),
        [](const ReportedUnit& unit) { return unit.open == DeviceStatus::accessDenied; });
    return denied ? finish(Outcome::accessDenied, ExitCode::accessDenied)
                  : finish(Outcome::listed, ExitCode::success);
}

ExitCode CliSession::runCommand() {
    const UnitOffer& offer = *offer_;
    switch (options_.command) {
        case Command::list:
            return finish(Outcome::listed, ExitCode::success);
        case Command::check:
            if (!offer.hasImage()) {
                return finish(Outcome::notUpdatable, ExitCode::notUpdatable);
            }
            return runToEnd(true);
        case Command::update:
            break;
    }
    if (offer.outcome == OfferOutcome::xmos ||
        (offer.outcome == OfferOutcome::upToDate && !options_.reinstall)) {
        return finish(Outcome::upToDate, ExitCode::success);
    }
    if (!offer.hasImage()) {
        return finish(Outcome::notUpdatable, ExitCode::notUpdatable);
    }
    if (!options_.yes) {
        env_.err << "Write firmware " << offer.targetDisplayVersion << " to this unit? [y/N] "
                 << std::flush;
        const std::optional<std::string> answer = env_.console.readLine();
        if (!pump(std::chrono::milliseconds(0))) {
            return ExitCode::interrupted;
        }
        if (!answer || (*answer != "y" && *answer != "Y" && *answer != "yes")) {
            return finish(Outcome::declined, ExitCode::runFailed);
        }
    }
    return runToEnd(false);
}

ExitCode CliSession::runToEnd(bool check) {
    if (check) {
        updater_.startCheck();
    } else {
        updater_.startUpdate();
    }
    // A run that was refused (no image could be loaded) never started and will send no news.
    if (!runEnd_ && updater_.state() == UpdateState::Idle) {
        report_.phase = check ? "comparing" : "writing";
        report_.runEnd = RunEnd{.failure = RunFailure::notStarted};
        return finish(Outcome::failed, ExitCode::runFailed);
    }
    while (!runEnd_) {
        if (!pump(pressLatency)) {
            report_.phase = phaseName(updater_.state());
            progress_.finish(env_.console.now());
            return finish(Outcome::interrupted, ExitCode::interrupted);
        }
    }
    progress_.finish(env_.console.now());
    switch (runEnd_->outcome) {
        case RunOutcome::updated:
            return finish(Outcome::updated, ExitCode::success);
        case RunOutcome::matched:
            return finish(Outcome::matched, ExitCode::success);
        case RunOutcome::differed:
            return finish(Outcome::differed, ExitCode::checkDiffered);
        case RunOutcome::failed:
            break;
    }
    report_.phase = phaseName(runEnd_->phase);
    report_.runEnd = runEnd_;
    return finish(Outcome::failed, ExitCode::runFailed);
}

bool CliSession::pump(std::chrono::milliseconds span) {
    env_.loop->runOne(span);
    const int presses = env_.console.interruptPresses();
    while (pressesHandled_ < presses) {
        ++pressesHandled_;
        if (guard_.press(writing(), env_.console.now()) == InterruptGuard::Action::endNow) {
            return false;
        }
        env_.err << "\nStopping now leaves the unit in update mode with an incomplete image (it "
                    "can be updated again). Press Ctrl-C again within "
                 << InterruptGuard::confirmWindow.count() << " seconds to stop anyway.\n"
                 << std::flush;
    }
    return true;
}

bool CliSession::writing() const {
    return options_.command == Command::update && (updater_.state() == UpdateState::Download ||
                                                   updater_.state() == UpdateState::GetStatus);
}

std::string CliSession::phaseName(UpdateState state) {
    switch (state) {
        case UpdateState::CompareExisting:
            return "comparing";
        case UpdateState::Download:
        case UpdateState::GetStatus:
            return "writing";
        case UpdateState::Verify:
            return "verifying";
        case UpdateState::Reboot:
            return "restarting";
        case UpdateState::Idle:
            break;
    }
    return "";
}

ExitCode CliSession::finish(Outcome outcome, ExitCode code) {
    if (outcome == Outcome::severalUnits || outcome == Outcome::sameSerial) {
        report_.units = reportedUnits();
    }
    report_.outcome = outcome;
    report_.exitCode = code;
    env_.out << (options_.json ? renderJson(report_) : renderOutcomeText(report_)) << std::flush;
    return code;
}

// --- The engine's news -----------------------------------------------------------------------

void CliSession::onUnitConnected(const ConnectedUnit& unit) {
    offer_ = unit.offer;
    versionText_ = unit.version;
}

void CliSession::onRunProgress() {
    if (updater_.state() != UpdateState::Reboot) {
        progress_.update(phaseName(updater_.state()), updater_.getBlockNumber(),
                         updater_.getBlockCount(), env_.console.now());
    }
}

}  // namespace tavik::cli
