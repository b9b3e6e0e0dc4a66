/* The smallest launcher making the same platform calls in the same order as tarnel: the reference it is
   measured against. Plain C, no C++ runtime. */
#include <windows.h>
#include <shlwapi.h>

static void Require(const wchar_t* path)
{
    if (PathFileExistsW(path))
        return;
    MessageBoxW(NULL, path, L"Resource Error", MB_ICONERROR | MB_OK);
    ExitProcess((UINT)-1);
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR arguments, int show)
{
    wchar_t command[64];
    STARTUPINFOW startup;
    PROCESS_INFORMATION child;
    (void)instance, (void)previous, (void)arguments, (void)show;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    if (!PathFileExistsW(L".\\embeddables"))
        Require(L".\\embeddables");
    Require(L"build\\tarnel.py");
    wsprintfW(command, L"pythonw.exe build\\tarnel.py --pid=%lu", GetCurrentProcessId());
    Require(L".\\embeddables\\pythonw.exe");
    if (!CreateProcessW(L".\\embeddables\\pythonw.exe", command, NULL, NULL, TRUE, 0, NULL, NULL, &startup,
                        &child))
        return -1;
    WaitForSingleObject(child.hProcess, INFINITE);
    CloseHandle(child.hProcess);
    CloseHandle(child.hThread);
    return 0;
}
