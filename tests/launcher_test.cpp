// Runs the built tarnel.exe as a Windows parent does: in a prepared application folder, answering any
// error dialog it shows and reading its exit status. The interpreter is the stand-in program, copied in.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "harness.h"

namespace fs = std::filesystem;

namespace {

constexpr DWORD StatusFailed = 0xFFFFFFFF;  // -1, as a Windows parent sees it
const std::wstring Missing = L"  does not exist.";

enum class Kind { Folder, File, Interpreter };
struct Entry {
    Kind kind;
    const wchar_t* path;
};
const Entry Embeddables{Kind::Folder, L"embeddables"};
const Entry Script{Kind::File, L"build\\tarnel.py"};
const Entry Interpreter{Kind::Interpreter, L"embeddables\\pythonw.exe"};

std::wstring CannotStart(DWORD error)
{
    const std::wstring interpreter = L".\\embeddables\\pythonw.exe";
    return interpreter + L"  could not be started.\n" + SystemText(error, interpreter);
}

struct Dialog {
    std::wstring caption, text;
    std::vector<int> buttons;
    bool owned;
    int icons;
};

struct Outcome {
    DWORD status = 0;
    std::vector<Dialog> dialogs;
};

// Whether a dialog can appear in this session. A Windows service, or a CI agent that runs without a
// desktop session, has a window station that is not visible: there MessageBoxW fails at once, and the
// launcher's dialog could be neither seen nor answered.
bool InteractiveDesktop()
{
    USEROBJECTFLAGS flags{};
    HWINSTA station = GetProcessWindowStation();
    return station && GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, nullptr) &&
           (flags.dwFlags & WSF_VISIBLE);
}

HWND FindDialog(DWORD pid)
{
    struct Search {
        DWORD pid;
        HWND found;
    } search{pid, nullptr};
    EnumWindows(
        [](HWND window, LPARAM param) -> BOOL {
            auto& search = *reinterpret_cast<Search*>(param);
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            wchar_t type[16] = {};
            GetClassNameW(window, type, 16);
            if (owner != search.pid || !IsWindowVisible(window) || std::wstring(type) != L"#32770")
                return TRUE;
            search.found = window;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::wstring WindowText(HWND window)
{
    std::wstring text(GetWindowTextLengthW(window) + 1, L'\0');
    text.resize(GetWindowTextW(window, text.data(), static_cast<int>(text.size())));
    return text;
}

// Reads a message box (its text is the static control 0xFFFF) and presses OK.
Dialog Answer(HWND dialog)
{
    Dialog seen{WindowText(dialog),
                WindowText(GetDlgItem(dialog, 0xFFFF)),
                {},
                GetWindow(dialog, GW_OWNER) != nullptr,
                0};
    EnumChildWindows(
        dialog,
        [](HWND child, LPARAM param) -> BOOL {
            auto& seen = *reinterpret_cast<Dialog*>(param);
            wchar_t type[16] = {};
            GetClassNameW(child, type, 16);
            if (!IsWindowVisible(child))
                return TRUE;
            if (std::wstring(type) == L"Button")
                seen.buttons.push_back(GetDlgCtrlID(child));
            else if (std::wstring(type) == L"Static" && SendMessageW(child, STM_GETICON, 0, 0))
                ++seen.icons;
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&seen));
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
    return seen;
}

class Launcher : public testing::Test {
protected:
    void SetUp() override
    {
        base_ = NewScratchFolder(L"tarnel-test-");
        record_ = base_ / L"record.txt";
        // The record's location reaches the stand-in only through the inherited environment.
        SetEnvironmentVariableW(L"TARNEL_STANDIN_RECORD", record_.c_str());
    }
    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(base_, ignored);
    }

    fs::path Lay(const std::vector<Entry>& entries, const std::wstring& name = L"app")
    {
        const fs::path root = base_ / name;
        fs::create_directories(root);
        for (const Entry& entry : entries) {
            const fs::path path = root / entry.path;
            fs::create_directories(entry.kind == Kind::Folder ? path : path.parent_path());
            if (entry.kind == Kind::File)
                std::ofstream(path) << "print('hello')\n";
            else if (entry.kind == Kind::Interpreter)
                fs::copy_file(BuildFolder() / L"standin.exe", path);
        }
        return root;
    }

    PROCESS_INFORMATION Start(const fs::path& directory, const std::wstring& arguments = L"", DWORD flags = 0)
    {
        std::wstring command = L"\"" + (BuildFolder() / L"tarnel.exe").wstring() + L"\"" + arguments;
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION launcher{};
        EXPECT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, flags, nullptr,
                                   directory.c_str(), &startup, &launcher))
            << "error " << GetLastError();
        return launcher;
    }

    // Waits, a minute at most, for the launcher to end, answering each dialog it shows. `running` waits a
    // little and tells whether the launcher still runs.
    static Outcome Finish(PROCESS_INFORMATION launcher, const std::function<bool()>& running = {})
    {
        Outcome outcome;
        HWND answered = nullptr;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        while (running ? running() : WaitForSingleObject(launcher.hProcess, 20) == WAIT_TIMEOUT) {
            if (std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "the launcher was still running after a minute";
                TerminateProcess(launcher.hProcess, 1);
                break;
            }
            HWND dialog = FindDialog(launcher.dwProcessId);
            if (dialog && dialog != answered)
                outcome.dialogs.push_back(Answer(answered = dialog));
        }
        WaitForSingleObject(launcher.hProcess, 10000);
        GetExitCodeProcess(launcher.hProcess, &outcome.status);
        CloseHandle(launcher.hProcess);
        CloseHandle(launcher.hThread);
        return outcome;
    }

    // The stand-in's record, key=value lines; empty when it never ran.
    std::map<std::wstring, std::wstring> Record() const
    {
        std::ifstream file(record_, std::ios::binary);
        const std::string bytes{std::istreambuf_iterator<char>(file), {}};
        const std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()),
                                bytes.size() / sizeof(wchar_t));
        std::map<std::wstring, std::wstring> record;
        for (size_t start = 0, end; (end = text.find(L'\n', start)) != std::wstring::npos; start = end + 1) {
            const std::wstring line = text.substr(start, end - start);
            record[line.substr(0, line.find(L'='))] = line.substr(line.find(L'=') + 1);
        }
        return record;
    }

    fs::path base_, record_;
};

// The layout of the current folder decides what happens: the first missing path in the order folder,
// script, interpreter is named once, and anything further along is never looked at.
struct LayoutCase {
    const char* name;
    std::vector<Entry> entries;
    std::wstring dialog;  // empty: the interpreter is started
    DWORD status;
};

void PrintTo(const LayoutCase& row, std::ostream* out) { *out << row.name; }

class Layouts : public Launcher, public testing::WithParamInterface<LayoutCase> {};

TEST_P(Layouts, ReportFirstMissingPathOrStartInterpreter)
{
    const LayoutCase& row = GetParam();
    if (!row.dialog.empty() && !InteractiveDesktop()) {
        // The Wine run always has Xvfb's desktop: a skip there would hide a fault.
        if (GetEnvironmentVariableW(L"TARNEL_REQUIRE_DESKTOP", nullptr, 0))
            FAIL() << "no interactive desktop, though this run requires one";
        GTEST_SKIP() << "no interactive desktop, so the launcher's dialog cannot appear: run the tests from "
                        "a desktop session";
    }
    const Outcome outcome = Finish(Start(Lay(row.entries)));
    EXPECT_EQ(outcome.status, row.status);
    if (row.dialog.empty()) {
        EXPECT_TRUE(outcome.dialogs.empty());
        EXPECT_EQ(Record()[L"command"].substr(0, 28), L"pythonw.exe build\\tarnel.py ");
        return;
    }
    ASSERT_EQ(outcome.dialogs.size(), 1u);
    const Dialog& dialog = outcome.dialogs[0];
    EXPECT_EQ(dialog.caption, L"Resource Error");
    EXPECT_EQ(dialog.text, row.dialog);
    EXPECT_EQ(dialog.buttons, std::vector<int>{IDOK});
    EXPECT_FALSE(dialog.owned);
    EXPECT_EQ(dialog.icons, 1);
    EXPECT_TRUE(Record().empty()) << "the interpreter ran";
}

// A table reads best one row to a line.
// clang-format off
INSTANTIATE_TEST_SUITE_P(
    , Layouts,
    testing::Values(
        LayoutCase{"Empty", {}, L".\\embeddables" + Missing, StatusFailed},
        LayoutCase{"NoFolder", {Script}, L".\\embeddables" + Missing, StatusFailed},
        LayoutCase{"NoScript", {Interpreter}, L"build\\tarnel.py" + Missing, StatusFailed},
        LayoutCase{"NoInterpreter", {Embeddables, Script}, L".\\embeddables\\pythonw.exe" + Missing, StatusFailed},
        LayoutCase{"FileNamedEmbeddables", {{Kind::File, L"embeddables"}, Script},
                   L".\\embeddables\\pythonw.exe" + Missing, StatusFailed},
        LayoutCase{"FolderNamedScript", {Interpreter, {Kind::Folder, L"build\\tarnel.py"}}, L"", 0},
        LayoutCase{"InterpreterNotAProgram", {{Kind::File, L"embeddables\\pythonw.exe"}, Script},
                   CannotStart(ERROR_BAD_EXE_FORMAT), StatusFailed}),
    [](const testing::TestParamInfo<LayoutCase>& info) { return std::string(info.param.name); });
// clang-format on

// A full launch: what reaches the interpreter, and how the launcher's life follows the interpreter's.
struct LaunchCase {
    const char* name;
    std::wstring folder;
    std::wstring arguments;  // given to the launcher, which passes none of them on
    DWORD childStatus;
    bool endLauncher;  // ended from outside while it waits
};

void PrintTo(const LaunchCase& row, std::ostream* out) { *out << row.name; }

class Launches : public Launcher, public testing::WithParamInterface<LaunchCase> {};

HANDLE InheritableEvent(const wchar_t* variable)
{
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE event = CreateEventW(&inherit, TRUE, FALSE, nullptr);
    SetEnvironmentVariableW(variable, std::to_wstring(reinterpret_cast<ULONG_PTR>(event)).c_str());
    return event;
}

TEST_P(Launches, PassFixedCommandLineAndWaitForInterpreter)
{
    const LaunchCase& row = GetParam();
    const fs::path root = Lay({Interpreter, Script}, row.folder);
    HANDLE started = InheritableEvent(L"TARNEL_STANDIN_STARTED");
    HANDLE release = InheritableEvent(L"TARNEL_STANDIN_RELEASE");
    SetEnvironmentVariableW(L"TARNEL_STANDIN_EXIT", std::to_wstring(row.childStatus).c_str());

    PROCESS_INFORMATION launcher = Start(root, row.arguments);
    // The stand-in can only set this event through a handle it inherited by way of the launcher.
    ASSERT_EQ(WaitForSingleObject(started, 30000), WAIT_OBJECT_0) << "the interpreter did not start";
    HANDLE child =
        OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, std::stoul(Record()[L"pid"]));
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(WaitForSingleObject(launcher.hProcess, 0), WAIT_TIMEOUT) << "the launcher did not wait";
    if (row.endLauncher) {
        TerminateProcess(launcher.hProcess, 1);
        WaitForSingleObject(launcher.hProcess, INFINITE);
        EXPECT_EQ(WaitForSingleObject(child, 0), WAIT_TIMEOUT) << "the interpreter ended with the launcher";
    }
    SetEvent(release);
    const Outcome outcome = Finish(launcher);
    ASSERT_EQ(WaitForSingleObject(child, 30000), WAIT_OBJECT_0);
    DWORD childStatus = 0;
    GetExitCodeProcess(child, &childStatus);
    EXPECT_EQ(childStatus, row.childStatus);

    auto record = Record();
    EXPECT_EQ(record[L"command"],
              L"pythonw.exe build\\tarnel.py --pid=" + std::to_wstring(launcher.dwProcessId));
    EXPECT_EQ(fs::path(record[L"directory"]), root);
    EXPECT_TRUE(outcome.dialogs.empty());
    EXPECT_EQ(outcome.status, row.endLauncher ? 1u : 0u);
    EXPECT_EQ(record[L"launcher-running-at-end"], row.endLauncher ? L"no" : L"yes");
    for (HANDLE handle : {child, started, release})
        CloseHandle(handle);
}

// A table reads best one row to a line.
// clang-format off
INSTANTIATE_TEST_SUITE_P(
    , Launches,
    testing::Values(LaunchCase{"Plain", L"app", L"", 0, false},
                    LaunchCase{"ArgumentsIgnoredChildFails", L"app", L" --pid=1 \"two words\" other.py", 7, false},
                    LaunchCase{"SpacesAndNonAsciiInFolder", L"my app \u00fc \u03a9 \u65e5\u672c", L"", 0xC0000005u, false},
                    LaunchCase{"LauncherEndedWhileWaiting", L"app", L"", 0, true}),
    [](const testing::TestParamInfo<LaunchCase>& info) { return std::string(info.param.name); });
// clang-format on

// The folder appears between the launcher's quiet first test and the check's second one: the launch goes
// on as usual instead of testing, and naming, an interpreter path never assembled. The launcher runs under
// the debugging API, which stops it on each entry to PathFileExistsW; on the second entry the whole layout
// is moved in.
TEST_F(Launcher, FolderAppearingBetweenItsTwoTestsIsUsed)
{
    const fs::path root = Lay({});
    const fs::path staging = Lay({Interpreter, Script}, L"staging");
    PROCESS_INFORMATION launcher = Start(root, L"", DEBUG_ONLY_THIS_PROCESS);
    // System DLLs sit at the same address in every process.
    void* const target =
        reinterpret_cast<void*>(GetProcAddress(LoadLibraryW(L"shlwapi.dll"), "PathFileExistsW"));
    const BYTE breakpoint = 0xCC;
    BYTE original = 0;
    bool armed = false, stepping = false;
    int entries = 0;
    auto debug = [&] {
        DEBUG_EVENT event{};
        if (!WaitForDebugEvent(&event, 20))
            return true;
        DWORD continuation = DBG_CONTINUE;
        if (event.dwDebugEventCode == CREATE_PROCESS_DEBUG_EVENT)
            CloseHandle(event.u.CreateProcessInfo.hFile);
        else if (event.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT)
            CloseHandle(event.u.LoadDll.hFile);
        else if (event.dwDebugEventCode == EXCEPTION_DEBUG_EVENT) {
            const EXCEPTION_RECORD& exception = event.u.Exception.ExceptionRecord;
            HANDLE thread = OpenThread(THREAD_GET_CONTEXT | THREAD_SET_CONTEXT, FALSE, event.dwThreadId);
            CONTEXT context{};
            context.ContextFlags = CONTEXT_CONTROL;
            GetThreadContext(thread, &context);
            if (exception.ExceptionCode == EXCEPTION_BREAKPOINT && !armed) {
                // The loader's own breakpoint: the imports are bound, the entry routine has not run.
                ReadProcessMemory(launcher.hProcess, target, &original, 1, nullptr);
                WriteProcessMemory(launcher.hProcess, target, &breakpoint, 1, nullptr);
                armed = true;
            } else if (exception.ExceptionCode == EXCEPTION_BREAKPOINT &&
                       exception.ExceptionAddress == target) {
                WriteProcessMemory(launcher.hProcess, target, &original, 1, nullptr);
                context.Rip -= 1;
                if (++entries == 1) {
                    context.EFlags |= 0x100;  // one instruction, then the breakpoint goes back in
                    stepping = true;
                } else if (entries == 2) {
                    fs::rename(staging / L"embeddables", root / L"embeddables");
                    fs::rename(staging / L"build", root / L"build");
                }
            } else if (exception.ExceptionCode == EXCEPTION_SINGLE_STEP && stepping) {
                WriteProcessMemory(launcher.hProcess, target, &breakpoint, 1, nullptr);
                stepping = false;
            } else {
                continuation = DBG_EXCEPTION_NOT_HANDLED;
            }
            FlushInstructionCache(launcher.hProcess, target, 1);
            SetThreadContext(thread, &context);
            CloseHandle(thread);
        }
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, continuation);
        return event.dwDebugEventCode != EXIT_PROCESS_DEBUG_EVENT;
    };
    // A launcher that went on to test the interpreter path it never assembled would show "  does not exist."
    const Outcome outcome = Finish(launcher, debug);
    EXPECT_GE(entries, 2) << "the folder was not tested twice";
    EXPECT_TRUE(outcome.dialogs.empty())
        << testing::PrintToString(outcome.dialogs.empty() ? L"" : outcome.dialogs[0].text);
    EXPECT_EQ(outcome.status, 0u);
    EXPECT_EQ(Record()[L"command"].substr(0, 28), L"pythonw.exe build\\tarnel.py ");
}

// The dialog cases skip only where no one could see a dialog: a window station that is never shown, as
// a service has, must count as no desktop.
TEST(Desktop, HiddenWindowStationIsNoDesktop)
{
    HWINSTA own = GetProcessWindowStation();
    HWINSTA hidden = CreateWindowStationW(nullptr, 0, WINSTA_ALL_ACCESS, nullptr);
    ASSERT_NE(hidden, nullptr) << "error " << GetLastError();
    ASSERT_TRUE(SetProcessWindowStation(hidden));
    const bool interactive = InteractiveDesktop();
    SetProcessWindowStation(own);
    CloseWindowStation(hidden);
    EXPECT_FALSE(interactive);
}

}  // namespace
