// tarnel: starts the application's private Python interpreter on its main script, waits until it has
// ended, and ends. Every path is relative to the current directory, never to the executable's folder.
#include <windows.h>
#include <shlwapi.h>

#include <string>

#include "require_path.h"

// The application's main script. The interpreter inherits the launcher's current directory, so this same
// relative path on its command line names the file tested here.
const std::wstring ScriptPath = L"build\\tarnel.py";

namespace {

const wchar_t EmbeddablesFolder[] = L".\\embeddables";
// Both the last component of the interpreter's path and the first word of its command line.
const wchar_t InterpreterName[] = L"pythonw.exe";
const wchar_t PathSeparator[] = L"\\";
const wchar_t WordSeparator[] = L" ";
const wchar_t PidOption[] = L" --pid=";
const wchar_t StartFailureSuffix[] = L"  could not be started.\n";

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    // The folder is tested quietly first, then once more by the check, which names it. Should it appear
    // between the two tests, the launch goes on as if it had been there all along.
    if (!PathFileExistsW(EmbeddablesFolder))
        RequirePath(EmbeddablesFolder);
    RequirePath(ScriptPath);

    const std::wstring InterpreterPath = std::wstring(EmbeddablesFolder) + PathSeparator + InterpreterName;
    // The identifier is a DWORD and is written unsigned; nothing on the line is quoted.
    std::wstring CommandLine = std::wstring(InterpreterName) + WordSeparator + ScriptPath + PidOption +
                               Decimal(GetCurrentProcessId());
    RequirePath(InterpreterPath);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    // CreateProcessW may write into the command line, so it gets the string's own writable buffer.
    if (!CreateProcessW(InterpreterPath.c_str(), CommandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        nullptr, &startup, &child)) {
        const DWORD error = GetLastError();
        ExitWithError(InterpreterPath + StartFailureSuffix + SystemMessage(error, InterpreterPath));
    }
    WaitForSingleObject(child.hProcess, INFINITE);
    CloseHandle(child.hProcess);
    CloseHandle(child.hThread);
    return 0;
}
