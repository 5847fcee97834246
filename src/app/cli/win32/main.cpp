// tavik-cli.exe: the command line on Windows, a console program over WinUSB. --wait polls,
// since only a window receives WM_DEVICECHANGE; the terminal is the console.
#include <windows.h>

#include <process.h>

#include <cstdlib>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "app/cli/CliOptions.hpp"
#include "app/cli/CliSession.hpp"
#include "app/cli/win32/Win32Console.hpp"
#include "app/win32/Win32WorkerLauncher.hpp"
#include "device/win32/Win32DeviceAccess.hpp"
#include "runtime/TaskQueue.hpp"

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

    tavik::cli::Win32Console console;
    tavik::Win32DeviceAccess devices;
    tavik::cli::CliSession session(
        *parsed.options,
        {devices, nullptr, std::make_shared<tavik::TaskQueue>(), console, std::cout, std::cerr, "",
         tavik::launchWorkerThread, tavik::OpenRetryPolicy{}});
    const tavik::cli::ExitCode code = session.run();
    if (code == tavik::cli::ExitCode::interrupted) {
        // A request may still be in flight: end without tearing down what its worker uses.
        std::cout.flush();
        std::cerr.flush();
        std::_Exit(tavik::cli::toInt(code));
    }
    return tavik::cli::toInt(code);
}
