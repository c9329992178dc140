// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later

#include "ctl/stopsignals.h"

#include <chrono>
#include <memory>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#include <poll.h>
#include <unistd.h>
#endif

namespace {

std::atomic<bool> stopFlag{false};
// The signal or console event that set it.
std::atomic<int> stopEvent{0};

#ifdef _WIN32

HANDLE finishedEvent = nullptr;

BOOL WINAPI onConsoleEvent(DWORD event)
{
    stopEvent = int(event);
    stopFlag = true;
    // Ctrl-C and Ctrl-Break leave the process running; the others end it
    // as soon as this returns.
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && finishedEvent)
        WaitForSingleObject(finishedEvent, 4500);
    return TRUE;
}

#else

constexpr int watched[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction previous[3];
struct sigaction previousPipe;

extern "C" void onSignal(int signal)
{
    stopEvent = signal;
    stopFlag = true;
}

#endif

} // namespace

StopSignals::StopSignals()
{
    stopFlag = false;
    stopEvent = 0;
#ifdef _WIN32
    // Kept for the life of the process: a handler thread may still be
    // waking from it when this object is gone.
    if (!finishedEvent)
        finishedEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    else
        ResetEvent(finishedEvent);
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
#else
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < 3; ++i)
        sigaction(watched[i], &action, &previous[i]);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &previousPipe);
#endif
}

StopSignals::~StopSignals()
{
    finished();
#ifdef _WIN32
    SetConsoleCtrlHandler(onConsoleEvent, FALSE);
#else
    for (int i = 0; i < 3; ++i)
        sigaction(watched[i], &previous[i], nullptr);
    sigaction(SIGPIPE, &previousPipe, nullptr);
#endif
}

const std::atomic<bool>& StopSignals::flag() const
{
    return stopFlag;
}

bool StopSignals::stopped() const
{
    return stopFlag;
}

std::string StopSignals::cause() const
{
    switch (stopEvent.load()) {
#ifdef _WIN32
    case CTRL_C_EVENT: return "interrupted (Ctrl-C)";
    case CTRL_BREAK_EVENT: return "interrupted (Ctrl-Break)";
    case CTRL_CLOSE_EVENT: return "the console window was closed";
    case CTRL_LOGOFF_EVENT: return "the user is logging off";
    case CTRL_SHUTDOWN_EVENT: return "Windows is shutting down";
#else
    case SIGINT: return "interrupted (Ctrl-C)";
    case SIGTERM: return "terminated (SIGTERM)";
    case SIGHUP: return "the terminal was closed (SIGHUP)";
#endif
    default: return "interrupted";
    }
}

void StopSignals::finished()
{
#ifdef _WIN32
    // The handler still waiting on it returns, and Windows ends the
    // process.
    if (finishedEvent)
        SetEvent(finishedEvent);
#endif
}

bool StopSignals::waitForEnter() const
{
#ifdef _WIN32
    // The console's read does not wake for the flag: it runs on a thread of
    // its own, which the process's end takes down if it is still reading.
    // Not the C runtime's stdin, whose lock the end of the process takes.
    const auto read = std::make_shared<std::atomic<bool>>(false);
    std::thread([read] {
        const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
        char c = 0;
        DWORD count = 0;
        while (ReadFile(input, &c, 1, &count, nullptr) && count == 1 && c != '\n') {}
        *read = true;
    }).detach();
    while (!*read && !stopFlag)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
#else
    for (;;) {
        pollfd input{STDIN_FILENO, POLLIN, 0};
        if (stopFlag)
            break;
        const int ready = poll(&input, 1, 50);
        if (ready <= 0)
            continue;
        char c = 0;
        if (::read(STDIN_FILENO, &c, 1) != 1 || c == '\n')
            break;
    }
#endif
    return !stopFlag;
}
