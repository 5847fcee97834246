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
#include "device/win32/Win32DeviceAccess.hpp"
#include "engine/TaskQueue.hpp"

namespace {

// Each request's worker as a thread of the C runtime, its handle closed at once (so detached),
// as in the window program: MinGW-w64's pthreads now and then never start a thread that is
// detached right after its creation, and the run would wait for ever for that completion.
bool launchWorkerThread(std::function<void()> work) {
    auto body = std::make_unique<std::function<void()>>(std::move(work));
    const auto entry = [](void* argument) -> unsigned {
        const std::unique_ptr<std::function<void()>> owned(
            static_cast<std::function<void()>*>(argument));
        (*owned)();
        return 0;
    };
    const uintptr_t thread = _beginthreadex(nullptr, 0, entry, body.get(), 0, nullptr);
    if (thread == 0) {
        return false;
    }
    body.release();  // the thread owns it now
    CloseHandle(reinterpret_cast<HANDLE>(thread));
    return true;
}

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

    tavik::cli::Win32Console console;
    tavik::Win32DeviceAccess devices;
    tavik::cli::CliSession session(*parsed.options,
                                   {devices, nullptr, std::make_shared<tavik::TaskQueue>(), console,
                                    std::cout, std::cerr, "", launchWorkerThread});
    const tavik::cli::ExitCode code = session.run();
    if (code == tavik::cli::ExitCode::interrupted) {
        // A request may still be in flight: end without tearing down what its worker uses.
        std::cout.flush();
        std::cerr.flush();
        std::_Exit(tavik::cli::toInt(code));
    }
    return tavik::cli::toInt(code);
}
