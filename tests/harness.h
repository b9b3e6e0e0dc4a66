// Small helpers shared by the Windows-side tests.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

// The folder of the test program, where the build also puts tarnel.exe and the stand-in.
inline std::filesystem::path BuildFolder()
{
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    return std::filesystem::path(path).parent_path();
}

// A new, empty folder in the temporary folder, named by `prefix`, this process and the moment: Wine hands
// out the same process ids run after run, so a folder named by the id alone can be a leftover from an
// earlier run (one that failed before it could clean up), and the next run would trip over it.
inline std::filesystem::path NewScratchFolder(const std::wstring& prefix)
{
    const std::filesystem::path temp = std::filesystem::temp_directory_path();
    for (;;) {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        const std::filesystem::path folder =
            temp / (prefix + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(now.QuadPart));
        if (std::filesystem::create_directory(folder))  // false: it exists already
            return folder;
    }
}

// UTF-8, for the narrow texts of GoogleTest and printf.
inline std::string Utf8(const std::wstring& text)
{
    const int wide = static_cast<int>(text.size());
    std::string bytes(WideCharToMultiByte(CP_UTF8, 0, text.data(), wide, nullptr, 0, nullptr, nullptr), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), wide, bytes.data(), static_cast<int>(bytes.size()), nullptr,
                        nullptr);
    return bytes;
}

// The system's text for an error code as the launcher is expected to show it: about `subject`, with no
// trailing line break.
inline std::wstring SystemText(DWORD error, const std::wstring& subject)
{
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text(buffer, length);
    LocalFree(buffer);
    if (const size_t insert = text.find(L"%1"); insert != std::wstring::npos)
        text.replace(insert, 2, subject);
    return text.substr(0, text.find_last_not_of(L"\r\n ") + 1);
}

// The one budget for the launcher's size without its icon, in bytes, kept by the image test and printed by
// the benchmark: what Debian 12's mingw-w64 makes of it (19,968) and 4 KiB for a stable update's drift.
// The C++ library's exception support (100 KiB) or winpthreads (26 KiB) coming back overruns it at once.
constexpr std::uintmax_t SizeBudgetWithoutIcon = 19968 + 4096;

// The size of an executable less its resource section, which holds nothing but the icon: what the
// launcher's code and data cost, whatever picture it carries.
inline std::uintmax_t SizeWithoutResources(const std::filesystem::path& executable)
{
    std::ifstream file(executable, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(file), {}};
    IMAGE_DOS_HEADER dos{};
    IMAGE_NT_HEADERS64 nt{};
    if (bytes.size() < 4096)
        return bytes.size();  // no room for the headers: not a launcher worth measuring
    std::memcpy(&dos, bytes.data(), sizeof dos);
    std::memcpy(&nt, bytes.data() + dos.e_lfanew, sizeof nt);
    const size_t sections =
        dos.e_lfanew + offsetof(IMAGE_NT_HEADERS64, OptionalHeader) + nt.FileHeader.SizeOfOptionalHeader;
    std::uintmax_t size = bytes.size();
    for (WORD i = 0; i < nt.FileHeader.NumberOfSections; ++i) {
        IMAGE_SECTION_HEADER section{};
        std::memcpy(&section, bytes.data() + sections + i * sizeof section, sizeof section);
        if (std::strncmp(reinterpret_cast<const char*>(section.Name), ".rsrc", 8) == 0)
            size -= section.SizeOfRawData;
    }
    return size;
}
