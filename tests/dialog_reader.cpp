// Waits for a "Resource Error" message box on this desktop, prints its caption and text (UTF-8, one line
// each) and presses its OK button: the demo uses it to show what the launcher told the user.
//   dialog_reader.exe [SECONDS]   (1 to 3600, default 30; status 1 when no such dialog appeared in time)
#include <windows.h>

#include <cstdlib>
#include <string>

namespace {

std::wstring WindowText(HWND window)
{
    std::wstring text(GetWindowTextLengthW(window) + 1, L'\0');
    text.resize(GetWindowTextW(window, text.data(), static_cast<int>(text.size())));
    return text;
}

void PrintLine(const std::wstring& line)
{
    const std::wstring text = line + L"\n";
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string utf8(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), size, nullptr,
                        nullptr);
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), utf8.data(), static_cast<DWORD>(utf8.size()), &written,
              nullptr);
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    const int given = argc > 1 ? _wtoi(argv[1]) : 0;
    const int seconds = given > 0 && given <= 3600 ? given : 30;
    for (int tenth = 0; tenth < seconds * 10; ++tenth) {
        HWND dialog = FindWindowW(L"#32770", L"Resource Error");
        if (dialog && IsWindowVisible(dialog)) {
            PrintLine(L"caption: " + WindowText(dialog));
            // A message box keeps its text in the static control 0xFFFF.
            PrintLine(L"text:    " + WindowText(GetDlgItem(dialog, 0xFFFF)));
            PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
            return 0;
        }
        Sleep(100);
    }
    PrintLine(L"no \"Resource Error\" dialog appeared");
    return 1;
}
