// SPDX-FileCopyrightText: The Sonvale authors
// SPDX-License-Identifier: GPL-3.0-or-later
// Built into every test on Windows: a crash prints where it happened as
// module+offset, for the faulting instruction and each frame below it, so
// that a crash on a machine we cannot reach can be read from the log alone
// (addr2line -e MODULE OFFSET+IMAGEBASE on a build with debug information).
// Qt Test's own handler prints addresses its symbol lookup cannot resolve
// under wine; the tests run with -nocrashhandler so that this one stays.

#include <QTest>

#include <windows.h>

#include <cstdio>

namespace {

// "Qt6Core.dll+0x1a2b3c", or the bare address outside every module.
void printAddress(const char* label, DWORD64 address)
{
    HMODULE module = nullptr;
    wchar_t name[MAX_PATH] = L"?";
    if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCWSTR>(address), &module)
        && GetModuleFileNameW(module, name, MAX_PATH)) {
        const wchar_t* base = wcsrchr(name, L'\\');
        std::fprintf(stderr, "  %s %ls+0x%llx\n", label, base ? base + 1 : name,
                     static_cast<unsigned long long>(address - reinterpret_cast<DWORD64>(module)));
    } else {
        std::fprintf(stderr, "  %s 0x%llx (in no module)\n", label, static_cast<unsigned long long>(address));
    }
}

LONG WINAPI reportCrash(EXCEPTION_POINTERS* exception)
{
    const EXCEPTION_RECORD* record = exception->ExceptionRecord;
    const char* function = QTest::currentTestFunction();
    std::fprintf(stderr, "crash: exception 0x%08lx in thread %lu, %s%s\n", record->ExceptionCode,
                 GetCurrentThreadId(), function ? "in the test function " : "outside every test function",
                 function ? function : "");
    if (record->ExceptionCode == EXCEPTION_ACCESS_VIOLATION && record->NumberParameters >= 2) {
        std::fprintf(stderr, "  %s address 0x%llx\n", record->ExceptionInformation[0] == 1 ? "writing" : "reading",
                     static_cast<unsigned long long>(record->ExceptionInformation[1]));
    }
    // The frames, unwound from the fault with the modules' own unwind
    // tables (MinGW's x86-64 code has them).
    CONTEXT context = *exception->ContextRecord;
    printAddress("at", context.Rip);
    for (int frame = 0; frame < 48 && context.Rip; ++frame) {
        DWORD64 imageBase = 0;
        RUNTIME_FUNCTION* entry = RtlLookupFunctionEntry(context.Rip, &imageBase, nullptr);
        if (!entry) {
            // A leaf function: its return address is on top of the stack.
            context.Rip = *reinterpret_cast<DWORD64*>(context.Rsp);
            context.Rsp += 8;
        } else {
            void* handlerData = nullptr;
            DWORD64 establisher = 0;
            RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, context.Rip, entry, &context, &handlerData,
                             &establisher, nullptr);
        }
        if (context.Rip)
            printAddress("from", context.Rip);
    }
    std::fflush(stderr);
    return EXCEPTION_CONTINUE_SEARCH;
}

const bool installed = [] {
    SetUnhandledExceptionFilter(reportCrash);
    return true;
}();

} // namespace
