// Stands in for pythonw.exe in the tests: a real Windows program that records what it was started
// with (command line, folder, everything its parent could set in its STARTUPINFOW or by creation flags,
// its environment), signals the test through handles it inherited, and ends with the status it is told to.
//   TARNEL_STANDIN_RECORD   file to append the record to (UTF-16)
//   TARNEL_STANDIN_STARTED  inherited event to set once the record is written
//   TARNEL_STANDIN_RELEASE  inherited event to wait for before ending
//   TARNEL_STANDIN_EXIT     exit status
#include <windows.h>

#include <cwchar>
#include <string>

namespace {

std::wstring Variable(const wchar_t* name)
{
    std::wstring value(GetEnvironmentVariableW(name, nullptr, 0), L'\0');
    value.resize(GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size())));
    return value;
}

HANDLE InheritedHandle(const wchar_t* name)
{
    return reinterpret_cast<HANDLE>(
        static_cast<ULONG_PTR>(std::wcstoull(Variable(name).c_str(), nullptr, 10)));
}

void Record(const std::wstring& line)
{
    HANDLE file = CreateFileW(Variable(L"TARNEL_STANDIN_RECORD").c_str(), FILE_APPEND_DATA, FILE_SHARE_READ,
                              nullptr, OPEN_ALWAYS, 0, nullptr);
    const std::wstring text = line + L"\n";
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &written, nullptr);
    CloseHandle(file);
}

// Whether the process named by --pid= on the command line is still running.
bool LauncherRunning()
{
    const wchar_t* option = std::wcsstr(GetCommandLineW(), L"--pid=");
    if (!option)
        return false;
    HANDLE launcher = OpenProcess(SYNCHRONIZE, FALSE, std::wcstoul(option + 6, nullptr, 10));
    const bool running = launcher && WaitForSingleObject(launcher, 0) == WAIT_TIMEOUT;
    if (launcher)
        CloseHandle(launcher);
    return running;
}

std::wstring Number(ULONG_PTR value) { return std::to_wstring(value); }

std::wstring Text(const wchar_t* text) { return text ? L"\"" + std::wstring(text) + L"\"" : L"null"; }

// What a parent decides about a child's start beyond its command line and folder. Each is one line, so
// that a test can name the one that differs from a plain start's.
void RecordStart(int show)
{
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    GetStartupInfoW(&startup);
    Record(L"startup.cb=" + Number(startup.cb));
    Record(L"startup.lpReserved=" + Text(startup.lpReserved));
    Record(L"startup.lpDesktop=" + Text(startup.lpDesktop));
    Record(L"startup.lpTitle=" + Text(startup.lpTitle));
    Record(L"startup.position=" + Number(startup.dwX) + L"," + Number(startup.dwY));
    Record(L"startup.size=" + Number(startup.dwXSize) + L"," + Number(startup.dwYSize));
    Record(L"startup.countChars=" + Number(startup.dwXCountChars) + L"," + Number(startup.dwYCountChars));
    Record(L"startup.dwFillAttribute=" + Number(startup.dwFillAttribute));
    Record(L"startup.dwFlags=" + Number(startup.dwFlags));
    Record(L"startup.wShowWindow=" + Number(startup.wShowWindow));
    // The C runtime's inherited file table, which a parent that starts its child through _wspawn passes.
    Record(L"startup.cbReserved2=" + Number(startup.cbReserved2));
    Record(L"startup.lpReserved2=" + Number(reinterpret_cast<ULONG_PTR>(startup.lpReserved2)));
    Record(L"startup.hStdInput=" + Number(reinterpret_cast<ULONG_PTR>(startup.hStdInput)));
    Record(L"startup.hStdOutput=" + Number(reinterpret_cast<ULONG_PTR>(startup.hStdOutput)));
    Record(L"startup.hStdError=" + Number(reinterpret_cast<ULONG_PTR>(startup.hStdError)));
    Record(L"show=" + Number(static_cast<ULONG_PTR>(show)));
    std::wstring handles;
    for (DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE})
        handles += Number(reinterpret_cast<ULONG_PTR>(GetStdHandle(which))) + L" ";
    Record(L"standard-handles=" + handles);
    Record(L"priority=" + Number(GetPriorityClass(GetCurrentProcess())));
    Record(L"error-mode=" + Number(GetErrorMode()));
    Record(std::wstring(L"console=") + (GetConsoleWindow() ? L"yes" : L"no"));
    // The environment block, its variables separated by U+001F (a line holds one key).
    std::wstring environment;
    if (wchar_t* block = GetEnvironmentStringsW()) {
        for (const wchar_t* entry = block; *entry; entry += std::wcslen(entry) + 1)
            environment += std::wstring(entry) + L"\x1f";
        FreeEnvironmentStringsW(block);
    }
    Record(L"environment=" + environment);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int show)
{
    std::wstring directory(GetCurrentDirectoryW(0, nullptr), L'\0');
    directory.resize(GetCurrentDirectoryW(static_cast<DWORD>(directory.size()), directory.data()));
    Record(L"command=" + std::wstring(GetCommandLineW()));
    Record(L"directory=" + directory);
    Record(L"pid=" + std::to_wstring(GetCurrentProcessId()));
    RecordStart(show);
    if (HANDLE started = InheritedHandle(L"TARNEL_STANDIN_STARTED"))
        SetEvent(started);
    if (HANDLE release = InheritedHandle(L"TARNEL_STANDIN_RELEASE"))
        WaitForSingleObject(release, 60000);
    Record(std::wstring(L"launcher-running-at-end=") + (LauncherRunning() ? L"yes" : L"no"));
    return static_cast<int>(std::wcstoul(Variable(L"TARNEL_STANDIN_EXIT").c_str(), nullptr, 10));
}
