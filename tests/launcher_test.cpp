// Runs the built tarnel.exe as a Windows parent does: in a prepared application folder, answering any
// error dialog it shows and reading its exit status. The interpreter is the stand-in program, copied in.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <system_error>
#include <thread>
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
    std::wstring icon;  // which system icon it shows (see ShownIcon)
    bool topmost;       // always on top, as MB_TOPMOST and MB_SYSTEMMODAL make it
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
            auto& wanted = *reinterpret_cast<Search*>(param);
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            wchar_t type[16] = {};
            GetClassNameW(window, type, 16);
            if (owner != wanted.pid || !IsWindowVisible(window) || std::wstring(type) != L"#32770")
                return TRUE;
            wanted.found = window;
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

// The pixels of a window's rectangle on the screen, 32 bits each.
std::vector<std::uint32_t> Pixels(HDC source, int x, int y, int width, int height,
                                  const std::function<void(HDC)>& draw = {})
{
    BITMAPINFO format{};
    format.bmiHeader.biSize = sizeof format.bmiHeader;
    format.bmiHeader.biWidth = width;
    format.bmiHeader.biHeight = -height;  // top row first
    format.bmiHeader.biPlanes = 1;
    format.bmiHeader.biBitCount = 32;
    format.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HDC memory = CreateCompatibleDC(source);
    HBITMAP bitmap = CreateDIBSection(memory, &format, DIB_RGB_COLORS, &bits, nullptr, 0);
    std::vector<std::uint32_t> pixels;
    if (memory && bitmap) {
        HGDIOBJ previous = SelectObject(memory, bitmap);
        if (draw)
            draw(memory);
        else
            BitBlt(memory, 0, 0, width, height, source, x, y, SRCCOPY);
        GdiFlush();
        const auto* first = static_cast<const std::uint32_t*>(bits);
        pixels.assign(first, first + static_cast<size_t>(width) * height);
        SelectObject(memory, previous);
    }
    if (bitmap)
        DeleteObject(bitmap);
    if (memory)
        DeleteDC(memory);
    return pixels;
}

bool Alike(const std::vector<std::uint32_t>& a, const std::vector<std::uint32_t>& b)
{
    if (a.empty() || a.size() != b.size())
        return false;
    size_t differing = 0;
    for (size_t i = 0; i < a.size(); ++i)
        for (int shift : {0, 8, 16})
            if (std::abs(static_cast<int>((a[i] >> shift) & 0xFF) -
                         static_cast<int>((b[i] >> shift) & 0xFF)) > 24) {
                ++differing;
                break;
            }
    return differing * 50 <= a.size();  // antialiased edges may blend a little differently
}

// Which of the system's icons an icon control of another process shows: its pixels on the screen against
// each system icon drawn here on the same background. The handle cannot be compared: Wine gives each
// process its own handle for a system icon, and refuses GetIconInfo on another process's icon. A window
// that has just appeared may still be fading in, so the comparison is repeated for a while.
std::wstring ShownIcon(HWND control)
{
    // IDI_* are resource numbers, whatever their pointer type.
    const std::pair<const wchar_t*, decltype(IDI_ERROR)> icons[] = {{L"error", IDI_ERROR},
                                                                    {L"warning", IDI_WARNING},
                                                                    {L"information", IDI_INFORMATION},
                                                                    {L"question", IDI_QUESTION},
                                                                    {L"application", IDI_APPLICATION}};
    RECT rect{};
    GetWindowRect(control, &rect);
    const int width = rect.right - rect.left, height = rect.bottom - rect.top;
    if (width <= 0 || height <= 0)
        return L"none (an empty control)";
    for (int attempt = 0; attempt < 40; ++attempt) {
        RedrawWindow(control, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
        HDC screen = GetDC(nullptr);
        const std::vector<std::uint32_t> shown = Pixels(screen, rect.left, rect.top, width, height);
        std::wstring match;
        for (const auto& [name, id] : icons) {
            HICON icon = LoadIconW(nullptr, reinterpret_cast<const wchar_t*>(id));
            // The corner of every system icon is transparent: there the control's background shows.
            const std::vector<std::uint32_t> drawn = Pixels(screen, 0, 0, width, height, [&](HDC memory) {
                HBRUSH background =
                    CreateSolidBrush(RGB((shown[0] >> 16) & 0xFF, (shown[0] >> 8) & 0xFF, shown[0] & 0xFF));
                const RECT all{0, 0, width, height};
                FillRect(memory, &all, background);
                DeleteObject(background);
                DrawIconEx(memory, 0, 0, icon, width, height, 0, nullptr, DI_NORMAL);
            });
            if (!shown.empty() && Alike(shown, drawn))
                match += (match.empty() ? L"" : L"+") + std::wstring(name);
        }
        ReleaseDC(nullptr, screen);
        if (!match.empty())
            return match;
        Sleep(50);
    }
    return L"none of the system's icons";
}

// Reads a message box (its text is the static control 0xFFFF) and presses OK.
Dialog Answer(HWND dialog)
{
    Dialog seen{WindowText(dialog),
                WindowText(GetDlgItem(dialog, 0xFFFF)),
                {},
                GetWindow(dialog, GW_OWNER) != nullptr,
                0,
                L"",
                (GetWindowLongW(dialog, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0};
    struct Controls {
        std::vector<int> buttons;
        std::vector<HWND> icons;
    } controls;
    EnumChildWindows(
        dialog,
        [](HWND child, LPARAM param) -> BOOL {
            auto& found = *reinterpret_cast<Controls*>(param);
            wchar_t type[16] = {};
            GetClassNameW(child, type, 16);
            if (!IsWindowVisible(child))
                return TRUE;
            if (std::wstring(type) == L"Button")
                found.buttons.push_back(GetDlgCtrlID(child));
            else if (std::wstring(type) == L"Static" && SendMessageW(child, STM_GETICON, 0, 0))
                found.icons.push_back(child);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&controls));
    seen.buttons = controls.buttons;
    seen.icons = static_cast<int>(controls.icons.size());
    if (!controls.icons.empty())
        seen.icon = ShownIcon(controls.icons[0]);
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
    return seen;
}

// Renames a file or folder. A program that was just copied may still be held open for a moment by an
// antivirus scanner on Windows, so a refused rename is tried again for up to two seconds.
void Move(const fs::path& from, const fs::path& to)
{
    std::error_code error;
    for (int attempt = 0; attempt < 40; ++attempt) {
        fs::rename(from, to, error);
        if (!error)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    throw fs::filesystem_error("cannot move", from, to, error);
}

// Runs a launcher that was started with DEBUG_ONLY_THIS_PROCESS, stopping it on each entry to the
// functions given, which must be exported by system DLLs: those sit at the same address in every process,
// which is checked. Every call on the launcher is checked too: under Wine on Linux, wineserver reads and
// writes another process's memory by ptrace, which Yama (ptrace_scope 1) or a container without
// CAP_SYS_PTRACE refuses. Where a call fails, the launcher is ended and Failure() names the call.
class Debugger {
public:
    // Called on an entry to a function, before its first instruction runs; may change the registers.
    using Entry = std::function<void(CONTEXT&)>;

    explicit Debugger(PROCESS_INFORMATION launcher) : launcher_(launcher) {}

    void Break(const wchar_t* module, const char* function, Entry entry)
    {
        const auto address = reinterpret_cast<BYTE*>(GetProcAddress(LoadLibraryW(module), function));
        if (!address)
            return Fail(std::string("GetProcAddress (") + function + ")", GetLastError());
        HMODULE holder = nullptr;
        GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCWSTR>(address), &holder);
        breakpoints_.push_back({function, address, holder, 0, std::move(entry)});
    }

    // Handles one debug event, waiting a little for it; false once the launcher has ended.
    bool Step()
    {
        DEBUG_EVENT event{};
        if (!WaitForDebugEvent(&event, 20)) {
            if (GetLastError() != ERROR_SEM_TIMEOUT)
                Fail("WaitForDebugEvent", GetLastError());
            return true;  // the launcher's end is an event too; Finish bounds the wait
        }
        DWORD continuation = DBG_CONTINUE;
        if (event.dwDebugEventCode == CREATE_PROCESS_DEBUG_EVENT) {
            CloseHandle(event.u.CreateProcessInfo.hFile);
        } else if (event.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT) {
            CloseHandle(event.u.LoadDll.hFile);
            modules_.insert(event.u.LoadDll.lpBaseOfDll);
        } else if (event.dwDebugEventCode == EXCEPTION_DEBUG_EVENT && failure_.empty()) {
            continuation = Exception(event.dwThreadId, event.u.Exception.ExceptionRecord);
        } else if (event.dwDebugEventCode == EXCEPTION_DEBUG_EVENT) {
            continuation = DBG_EXCEPTION_NOT_HANDLED;
        } else if (event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT && !armed_ && failure_.empty()) {
            // Under Wine with ptrace refused to wineserver, a debugged process aborts in its start-up.
            failure_ = "the launcher ended (status " + std::to_string(event.u.ExitProcess.dwExitCode) +
                       ") before the loader's breakpoint, where the breakpoints go in: it cannot run under a "
                       "debugger here (under Wine: is ptrace refused to wineserver, by Yama's ptrace_scope 1 "
                       "or a container without CAP_SYS_PTRACE?)";
        }
        if (!ContinueDebugEvent(event.dwProcessId, event.dwThreadId, continuation))
            Fail("ContinueDebugEvent", GetLastError());
        return event.dwDebugEventCode != EXIT_PROCESS_DEBUG_EVENT;
    }

    // Empty while every call on the launcher has worked.
    const std::string& Failure() const { return failure_; }

private:
    struct Breakpoint {
        const char* function;
        BYTE* address;
        HMODULE module;
        BYTE original;
        Entry entry;
    };

    void Stop(const std::string& failure)
    {
        failure_ = failure;
        TerminateProcess(launcher_.hProcess, 1);
    }

    void Fail(const std::string& call, DWORD error)
    {
        if (!failure_.empty())
            return;
        Stop(call + " failed: error " + std::to_string(error) + " (" + Utf8(SystemText(error, L"")) +
             "); the debugger cannot stop the launcher, so this test cannot run here");
    }

    void Write(const Breakpoint& breakpoint, BYTE value, const char* what)
    {
        SIZE_T written = 0;
        if (!WriteProcessMemory(launcher_.hProcess, breakpoint.address, &value, 1, &written) || written != 1)
            return Fail(std::string("WriteProcessMemory (") + what + " at " + breakpoint.function + ")",
                        GetLastError());
        if (!FlushInstructionCache(launcher_.hProcess, breakpoint.address, 1))
            Fail("FlushInstructionCache", GetLastError());
    }

    DWORD Exception(DWORD threadId, const EXCEPTION_RECORD& exception)
    {
        if (exception.ExceptionCode == EXCEPTION_BREAKPOINT && !armed_) {
            // The loader's own breakpoint: the imports are bound, the entry routine has not run.
            armed_ = true;
            for (Breakpoint& breakpoint : breakpoints_) {
                if (!modules_.count(breakpoint.module)) {
                    Stop(std::string("the DLL that holds ") + breakpoint.function +
                         " is not at this process's address in the launcher");
                    return DBG_CONTINUE;
                }
                SIZE_T read = 0;
                if (!ReadProcessMemory(launcher_.hProcess, breakpoint.address, &breakpoint.original, 1,
                                       &read) ||
                    read != 1) {
                    Fail(std::string("ReadProcessMemory (at ") + breakpoint.function + ")", GetLastError());
                    return DBG_CONTINUE;
                }
                Write(breakpoint, 0xCC, "a breakpoint");
            }
            return DBG_CONTINUE;
        }
        Breakpoint* hit = nullptr;
        for (Breakpoint& breakpoint : breakpoints_)
            if (exception.ExceptionAddress == breakpoint.address)
                hit = &breakpoint;
        const bool stepped = exception.ExceptionCode == EXCEPTION_SINGLE_STEP && stepping_;
        if (!(exception.ExceptionCode == EXCEPTION_BREAKPOINT && hit) && !stepped)
            return DBG_EXCEPTION_NOT_HANDLED;

        HANDLE thread = OpenThread(THREAD_GET_CONTEXT | THREAD_SET_CONTEXT, FALSE, threadId);
        if (!thread) {
            Fail("OpenThread", GetLastError());
            return DBG_CONTINUE;
        }
        CONTEXT context{};
        context.ContextFlags = CONTEXT_CONTROL | CONTEXT_INTEGER;
        if (!GetThreadContext(thread, &context)) {
            Fail("GetThreadContext", GetLastError());
        } else if (stepped) {
            // One instruction of the function has run: the breakpoint goes back in.
            Write(*stepping_, 0xCC, "the breakpoint again");
            stepping_ = nullptr;
        } else {
            Write(*hit, hit->original, "the original byte");
            context.Rip -= 1;
            context.EFlags |= 0x100;  // the trap flag: stop again after one instruction
            stepping_ = hit;
            try {
                hit->entry(context);
            } catch (const std::exception& error) {
                Stop(std::string("on the entry to ") + hit->function + ": " + error.what());
            }
            if (failure_.empty() && !SetThreadContext(thread, &context))
                Fail("SetThreadContext", GetLastError());
        }
        CloseHandle(thread);
        return DBG_CONTINUE;
    }

    PROCESS_INFORMATION launcher_;
    std::vector<Breakpoint> breakpoints_;
    std::set<void*> modules_;
    bool armed_ = false;
    Breakpoint* stepping_ = nullptr;
    std::string failure_;
};

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

    // A dialog can only be seen where there is an interactive desktop: a case that shows one fails
    // without it where the run requires one, and is skipped elsewhere. The caller returns when the test
    // IsSkipped() or HasFatalFailure().
    static void RequireDesktop()
    {
        if (InteractiveDesktop())
            return;
        // The Wine run always has Xvfb's desktop: a skip there would hide a fault.
        if (GetEnvironmentVariableW(L"TARNEL_REQUIRE_DESKTOP", nullptr, 0))
            FAIL() << "no interactive desktop, though this run requires one";
        GTEST_SKIP() << "no interactive desktop, so the launcher's dialog cannot appear: run the tests from "
                        "a desktop session";
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
    if (!row.dialog.empty()) {
        RequireDesktop();
        if (IsSkipped() || HasFatalFailure())
            return;
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
    EXPECT_EQ(dialog.icon, L"error");
    EXPECT_FALSE(dialog.topmost) << "the dialog stays on top of every other window";
    EXPECT_TRUE(Record().empty()) << "the interpreter ran";
}

// A table reads best one row to a line.
// clang-format off
INSTANTIATE_TEST_SUITE_P(
    , Layouts,
    testing::Values(
        LayoutCase{"Empty", {}, L".\\embeddables" + Missing, StatusFailed},
        LayoutCase{"NoFolder", {Script}, L".\\embeddables" + Missing, StatusFailed},
        LayoutCase{"OnlyFolder", {Embeddables}, L"build\\tarnel.py" + Missing, StatusFailed},
        LayoutCase{"NoScript", {Interpreter}, L"build\\tarnel.py" + Missing, StatusFailed},
        LayoutCase{"NoInterpreter", {Embeddables, Script}, L".\\embeddables\\pythonw.exe" + Missing, StatusFailed},
        LayoutCase{"FileNamedEmbeddables", {{Kind::File, L"embeddables"}, Script},
                   L".\\embeddables\\pythonw.exe" + Missing, StatusFailed},
        LayoutCase{"FolderNamedScript", {Interpreter, {Kind::Folder, L"build\\tarnel.py"}}, L"", 0},
        LayoutCase{"InterpreterNotAProgram", {{Kind::File, L"embeddables\\pythonw.exe"}, Script},
                   CannotStart(ERROR_BAD_EXE_FORMAT), StatusFailed}),
    [](const testing::TestParamInfo<LayoutCase>& row) { return std::string(row.param.name); });
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

class Launches : public Launcher, public testing::WithParamInterface<LaunchCase> {
protected:
    // The record of the stand-in started by this process as the launcher starts it (the same relative
    // application name, from the same folder), with a zeroed STARTUPINFOW and no creation flags. The
    // system fills in some of what the child sees itself (its desktop and title, and under Wine more);
    // the launcher must add nothing to that.
    std::map<std::wstring, std::wstring> PlainStart(const fs::path& root)
    {
        wchar_t here[MAX_PATH];
        if (!GetCurrentDirectoryW(MAX_PATH, here) || !SetCurrentDirectoryW(root.c_str())) {
            ADD_FAILURE() << "cannot enter " << root << ": error " << GetLastError();
            return {};
        }
        std::wstring command =
            L"pythonw.exe build\\tarnel.py --pid=" + std::to_wstring(GetCurrentProcessId());
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION child{};
        const BOOL started = CreateProcessW(L".\\embeddables\\pythonw.exe", command.data(), nullptr, nullptr,
                                            TRUE, 0, nullptr, nullptr, &startup, &child);
        const DWORD error = GetLastError();
        SetCurrentDirectoryW(here);
        if (!started) {
            ADD_FAILURE() << "cannot start the stand-in: error " << error;
            return {};
        }
        EXPECT_EQ(WaitForSingleObject(child.hProcess, 30000), WAIT_OBJECT_0);
        CloseHandle(child.hProcess);
        CloseHandle(child.hThread);
        auto record = Record();
        fs::remove(record_);
        return record;
    }
};

HANDLE InheritableEvent(const wchar_t* variable)
{
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE event = CreateEventW(&inherit, TRUE, FALSE, nullptr);
    SetEnvironmentVariableW(variable, std::to_wstring(reinterpret_cast<ULONG_PTR>(event)).c_str());
    return event;
}

// The variables of an environment as the stand-in records it.
std::set<std::wstring> Variables(const std::wstring& recorded)
{
    std::set<std::wstring> variables;
    for (size_t start = 0, end; (end = recorded.find(L'\x1f', start)) != std::wstring::npos; start = end + 1)
        variables.insert(recorded.substr(start, end - start));
    return variables;
}

TEST_P(Launches, PassFixedCommandLineAndWaitForInterpreter)
{
    const LaunchCase& row = GetParam();
    const fs::path root = Lay({Interpreter, Script}, row.folder);
    HANDLE started = InheritableEvent(L"TARNEL_STANDIN_STARTED");
    HANDLE release = InheritableEvent(L"TARNEL_STANDIN_RELEASE");
    SetEnvironmentVariableW(L"TARNEL_STANDIN_EXIT", std::to_wstring(row.childStatus).c_str());
    SetEvent(release);
    auto plain = PlainStart(root);
    ASSERT_FALSE(plain.empty()) << "the stand-in started by the test wrote no record";
    ResetEvent(started);
    ResetEvent(release);

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
    // Everything else the child was given is what a plain start gives: no show mode, title, position,
    // standard handles, priority or error mode of the launcher's choosing, and the same environment.
    for (const auto& [key, value] : plain) {
        if (key == L"command" || key == L"pid" || key == L"launcher-running-at-end" || key == L"environment")
            continue;
        EXPECT_EQ(record[key], value)
            << "the launcher gave the interpreter its own " << testing::PrintToString(key);
    }
    const std::set<std::wstring> inherited = Variables(record[L"environment"]),
                                 given = Variables(plain[L"environment"]);
    for (const std::wstring& variable : given)
        EXPECT_TRUE(inherited.count(variable)) << "not passed on: " << testing::PrintToString(variable);
    for (const std::wstring& variable : inherited)
        EXPECT_TRUE(given.count(variable)) << "added by the launcher: " << testing::PrintToString(variable);
    EXPECT_FALSE(given.empty());
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
    [](const testing::TestParamInfo<LaunchCase>& row) { return std::string(row.param.name); });
// clang-format on

// The folder appears between the launcher's quiet first test and the check's second one: the launch goes
// on as usual instead of testing, and naming, an interpreter path never assembled. The launcher is stopped
// on each entry to PathFileExistsW; on the second entry the whole layout is moved in.
TEST_F(Launcher, FolderAppearingBetweenItsTwoTestsIsUsed)
{
    const fs::path root = Lay({});
    const fs::path staging = Lay({Interpreter, Script}, L"staging");
    PROCESS_INFORMATION launcher = Start(root, L"", DEBUG_ONLY_THIS_PROCESS);
    Debugger debugger(launcher);
    int entries = 0;
    debugger.Break(L"shlwapi.dll", "PathFileExistsW", [&](CONTEXT&) {
        if (++entries == 2) {
            Move(staging / L"embeddables", root / L"embeddables");
            Move(staging / L"build", root / L"build");
        }
    });
    // A launcher that went on to test the interpreter path it never assembled would show "  does not exist."
    const Outcome outcome = Finish(launcher, [&] { return debugger.Step(); });
    if (!debugger.Failure().empty())
        FAIL() << debugger.Failure();
    EXPECT_GE(entries, 2) << "the folder was not tested twice";
    EXPECT_TRUE(outcome.dialogs.empty())
        << testing::PrintToString(outcome.dialogs.empty() ? L"" : outcome.dialogs[0].text);
    EXPECT_EQ(outcome.status, 0u);
    EXPECT_EQ(Record()[L"command"].substr(0, 28), L"pythonw.exe build\\tarnel.py ");
}

// What the dialog rows see is what Windows draws; Wine ignores MB_TOPMOST (its message box is not made
// topmost by it), so the style the launcher asks for is also read where it asks, at MessageBoxW.
TEST_F(Launcher, DialogIsAskedForWithErrorIconOkButtonAndNeitherTopmostNorSystemModal)
{
    RequireDesktop();
    if (IsSkipped() || HasFatalFailure())
        return;
    PROCESS_INFORMATION launcher = Start(Lay({}), L"", DEBUG_ONLY_THIS_PROCESS);
    Debugger debugger(launcher);
    std::vector<std::pair<DWORD64, DWORD64>> calls;  // owner and style, the first and the fourth argument
    debugger.Break(L"user32.dll", "MessageBoxW",
                   [&](CONTEXT& context) { calls.emplace_back(context.Rcx, context.R9); });
    const Outcome outcome = Finish(launcher, [&] { return debugger.Step(); });
    if (!debugger.Failure().empty())
        FAIL() << debugger.Failure();
    ASSERT_EQ(calls.size(), 1u);
    const auto [owner, style] = calls[0];
    EXPECT_EQ(owner, 0u);
    EXPECT_EQ(style & MB_ICONMASK, static_cast<DWORD64>(MB_ICONERROR));
    EXPECT_EQ(style & MB_TYPEMASK, static_cast<DWORD64>(MB_OK));
    EXPECT_EQ(style & MB_TOPMOST, 0u);
    EXPECT_EQ(style & MB_SYSTEMMODAL, 0u);
    EXPECT_EQ(style & (MB_SERVICE_NOTIFICATION | MB_DEFAULT_DESKTOP_ONLY), 0u) << "not on the user's desktop";
    EXPECT_EQ(outcome.dialogs.size(), 1u);
    EXPECT_EQ(outcome.status, StatusFailed);
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
