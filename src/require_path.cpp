#include "require_path.h"

#include <shlwapi.h>

#include <charconv>
#include <cstdlib>

namespace {

const wchar_t MissingSuffix[] = L"  does not exist.";
const wchar_t DialogCaption[] = L"Resource Error";

}  // namespace

void RequirePath(std::wstring path)
{
    if (PathFileExistsW(path.c_str()))
        return;
    ExitWithError(path + MissingSuffix);
}

void ExitWithError(const std::wstring& text)
{
    // No owner window: the launcher has none, and the dialog must stand on its own in the taskbar.
    // Should it fail to show (no desktop), MessageBoxW returns at once and the status is still -1.
    MessageBoxW(nullptr, text.c_str(), DialogCaption, MB_ICONERROR | MB_OK);
    std::exit(-1);
}

std::wstring Decimal(DWORD value)
{
    // std::to_chars, not std::to_wstring: the latter formats through the C runtime's printf family,
    // which would bring its whole floating-point formatting into the executable for one number.
    char digits[10];  // 4294967295
    const char* const first = digits;
    const char* const last = std::to_chars(digits, digits + sizeof digits, value).ptr;
    return std::wstring(first, last);
}

std::wstring SystemMessage(DWORD code, const std::wstring& subject)
{
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text = length ? std::wstring(buffer, length) : L"Error " + Decimal(code);
    LocalFree(buffer);
    // Messages about a program name it as "%1" ("%1 is not a valid Win32 application."). Inserts are not
    // expanded by FormatMessageW itself: a message with more of them would read arguments never given.
    for (size_t at = 0; (at = text.find(L"%1", at)) != std::wstring::npos; at += subject.size())
        text.replace(at, 2, subject);
    // The system's messages end with "\r\n", which would leave a blank line at the foot of the dialog.
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
        text.pop_back();
    return text;
}
