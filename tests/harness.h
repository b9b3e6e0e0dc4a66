// Small helpers shared by the Windows-side tests.
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>

// The folder of the test program, where the build also puts tarnel.exe and the stand-in.
inline std::filesystem::path BuildFolder()
{
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    return std::filesystem::path(path).parent_path();
}

// The system's text for an error code, as the launcher is expected to show it: no trailing line break.
inline std::wstring SystemText(DWORD error)
{
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text(buffer, length);
    LocalFree(buffer);
    return text.substr(0, text.find_last_not_of(L"\r\n ") + 1);
}
