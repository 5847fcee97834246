#include "app/cli/win32/Win32Console.hpp"

#include <windows.h>

#include <atomic>
#include <iostream>

namespace tavik::cli {

namespace {

// Written by the control handler, which Windows runs on a thread of its own.
std::atomic<int> presses{0};

BOOL WINAPI countPress(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        presses.fetch_add(1);
        return TRUE;
    }
    return FALSE;  // closing the console or logging off ends the program as usual
}

bool isConsole(DWORD which) {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(which), &mode) != 0;
}

}  // namespace

Win32Console::Win32Console() {
    SetConsoleCtrlHandler(countPress, TRUE);
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    outputIsTerminal_ = GetConsoleMode(output, &mode) != 0 &&
                        SetConsoleMode(output, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

Win32Console::~Win32Console() {
    SetConsoleCtrlHandler(countPress, FALSE);
}

bool Win32Console::inputIsTerminal() {
    return isConsole(STD_INPUT_HANDLE);
}

// A Ctrl-C aborts the console read, which then ends like the end of input; the session finds
// the press counted.
std::optional<std::string> Win32Console::readLine() {
    std::string line;
    if (!std::getline(std::cin, line)) {
        std::cin.clear();
        return std::nullopt;
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return line;
}

int Win32Console::interruptPresses() {
    return presses.load();
}

}  // namespace tavik::cli
