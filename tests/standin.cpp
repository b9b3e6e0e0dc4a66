// Stands in for pythonw.exe in the tests: a real Windows program that records what it was started
// with, signals the test through handles it inherited, and ends with the status it is told to.
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

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    std::wstring directory(GetCurrentDirectoryW(0, nullptr), L'\0');
    directory.resize(GetCurrentDirectoryW(static_cast<DWORD>(directory.size()), directory.data()));
    Record(L"command=" + std::wstring(GetCommandLineW()));
    Record(L"directory=" + directory);
    Record(L"pid=" + std::to_wstring(GetCurrentProcessId()));
    if (HANDLE started = InheritedHandle(L"TARNEL_STANDIN_STARTED"))
        SetEvent(started);
    if (HANDLE release = InheritedHandle(L"TARNEL_STANDIN_RELEASE"))
        WaitForSingleObject(release, 60000);
    Record(std::wstring(L"launcher-running-at-end=") + (LauncherRunning() ? L"yes" : L"no"));
    return static_cast<int>(std::wcstoul(Variable(L"TARNEL_STANDIN_EXIT").c_str(), nullptr, 10));
}
