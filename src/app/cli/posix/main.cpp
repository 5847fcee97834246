// tavik-cli on Linux (and macOS): the command line over libusb, arrivals for --wait through
// libusb's hotplug (polling where it has none), and the terminal through POSIX calls.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "app/cli/CliOptions.hpp"
#include "app/cli/CliSession.hpp"
#include "app/cli/posix/PosixConsole.hpp"
#include "device/libusb/LibusbDeviceAccess.hpp"
#include "device/libusb/LibusbHotplugMonitor.hpp"
#include "runtime/TaskQueue.hpp"

namespace {

// On Linux a unit this user may not open lacks the udev rule (README, "Installing on Linux").
constexpr const char* accessDeniedRemedy =
    "Install the udev rule (README, \"Installing on Linux\"), then plug the unit in again.";

}  // namespace

int main(int argc, char** argv) {
    const tavik::cli::ParsedCommandLine parsed =
        tavik::cli::parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.options) {
        std::cout << parsed.helpText;
        if (!parsed.errorLine.empty()) {
            std::cerr << parsed.errorLine << '\n';
        }
        return tavik::cli::toInt(parsed.exitCode);
    }

    tavik::cli::PosixConsole console;
    auto loop = std::make_shared<tavik::TaskQueue>();
    // A libusb session of its own, shared with the monitor and the open unit. Should it fail,
    // every search for a unit fails with its code, and --wait polls.
    tavik::LibusbDeviceAccess devices;
    std::unique_ptr<tavik::LibusbHotplugMonitor> hotplug;
    if (devices.context()) {
        hotplug = std::make_unique<tavik::LibusbHotplugMonitor>(devices.context(), loop);
    }
    tavik::cli::CliSession session(
        *parsed.options,
        {devices, hotplug.get(), loop, console, std::cout, std::cerr, accessDeniedRemedy,
         tavik::launchDetachedThread, tavik::OpenRetryPolicy{}});
    const tavik::cli::ExitCode code = session.run();
    if (code == tavik::cli::ExitCode::interrupted) {
        // A request may still be in flight: end without tearing down what its worker uses.
        std::cout.flush();
        std::cerr.flush();
        std::_Exit(tavik::cli::toInt(code));
    }
    return tavik::cli::toInt(code);
}
