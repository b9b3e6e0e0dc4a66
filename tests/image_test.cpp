// Checks the built tarnel.exe as a file: what Windows is told about it, which DLLs it needs, and that its
// only resource is the application icon.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "harness.h"

namespace {

class Image : public testing::Test {
protected:
    void SetUp() override
    {
        std::ifstream file(BuildFolder() / L"tarnel.exe", std::ios::binary);
        bytes_.assign(std::istreambuf_iterator<char>(file), {});
        ASSERT_GT(bytes_.size(), 1024u);
        const auto* dos = At<IMAGE_DOS_HEADER>(0);
        ASSERT_EQ(dos->e_magic, IMAGE_DOS_SIGNATURE);
        nt_ = At<IMAGE_NT_HEADERS64>(dos->e_lfanew);
        ASSERT_EQ(nt_->Signature, IMAGE_NT_SIGNATURE);
    }

    template <typename T>
    const T* At(size_t offset) const
    {
        if (offset + sizeof(T) > bytes_.size())
            throw std::out_of_range("past the end of tarnel.exe");
        return reinterpret_cast<const T*>(bytes_.data() + offset);
    }

    // Where the section that holds an address of the loaded image keeps it in the file.
    size_t Offset(DWORD rva) const
    {
        const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt_);
        for (int i = 0; i < nt_->FileHeader.NumberOfSections; ++i, ++section)
            if (rva >= section->VirtualAddress && rva < section->VirtualAddress + section->SizeOfRawData)
                return rva - section->VirtualAddress + section->PointerToRawData;
        throw std::out_of_range("address outside every section");
    }

    const IMAGE_DATA_DIRECTORY& Directory(int index) const
    {
        return nt_->OptionalHeader.DataDirectory[index];
    }

    // The entries of one level of the resource tree; names are returned as their ids.
    std::vector<IMAGE_RESOURCE_DIRECTORY_ENTRY> ResourceEntries(DWORD offsetInTree) const
    {
        const size_t start = Offset(Directory(IMAGE_DIRECTORY_ENTRY_RESOURCE).VirtualAddress) + offsetInTree;
        const auto* directory = At<IMAGE_RESOURCE_DIRECTORY>(start);
        const auto* first = At<IMAGE_RESOURCE_DIRECTORY_ENTRY>(start + sizeof *directory);
        return {first, first + directory->NumberOfNamedEntries + directory->NumberOfIdEntries};
    }

    std::vector<char> bytes_;
    const IMAGE_NT_HEADERS64* nt_ = nullptr;
};

TEST_F(Image, IsA64BitGuiProgramForWindows6WithAslrAndNx)
{
    EXPECT_EQ(nt_->FileHeader.Machine, IMAGE_FILE_MACHINE_AMD64);
    EXPECT_EQ(nt_->OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR64_MAGIC);
    EXPECT_EQ(nt_->OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
    EXPECT_EQ(nt_->OptionalHeader.MajorSubsystemVersion, 6);
    EXPECT_EQ(nt_->OptionalHeader.MinorSubsystemVersion, 0);
    const WORD wanted = IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE | IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA |
                        IMAGE_DLLCHARACTERISTICS_NX_COMPAT;
    EXPECT_EQ(nt_->OptionalHeader.DllCharacteristics & wanted, wanted);
    EXPECT_FALSE(nt_->FileHeader.Characteristics & IMAGE_FILE_RELOCS_STRIPPED) << "ASLR needs relocations";
}

TEST_F(Image, ImportsOnlyWindowsOwnDlls)
{
    std::set<std::string> imported;
    for (size_t at = Offset(Directory(IMAGE_DIRECTORY_ENTRY_IMPORT).VirtualAddress);;
         at += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        const auto* descriptor = At<IMAGE_IMPORT_DESCRIPTOR>(at);
        if (!descriptor->Name)
            break;
        std::string name(At<char>(Offset(descriptor->Name)));
        std::transform(name.begin(), name.end(), name.begin(),
                       [](char c) { return static_cast<char>(toupper(c)); });
        imported.insert(name);
    }
    // The C runtime is linked in with MSVC. With mingw-w64 it is Windows' own: msvcrt.dll by default, or,
    // for a toolchain that targets the Universal CRT (MSYS2's UCRT64), its api-ms-win-crt-* set, part of
    // Windows since 10. The tests are built with the launcher's toolchain, so each accepts only its own.
#if defined(_UCRT) && !defined(_MSC_VER)
    for (auto name = imported.begin(); name != imported.end();)
        name = name->rfind("API-MS-WIN-CRT-", 0) == 0 ? imported.erase(name) : std::next(name);
#else
    imported.erase("MSVCRT.DLL");
#endif
    EXPECT_EQ(imported, (std::set<std::string>{"KERNEL32.DLL", "SHLWAPI.DLL", "USER32.DLL"}));
}

TEST_F(Image, OnlyResourceIsTheIconWithSevenFullColourSizes)
{
    const auto typeEntries = ResourceEntries(0);
    std::vector<WORD> types;
    for (const auto& entry : typeEntries)
        types.push_back(entry.Id);
    // No manifest, version information, string table or dialog: icon images and their one group.
    ASSERT_EQ(types, (std::vector<WORD>{3 /* RT_ICON */, 14 /* RT_GROUP_ICON */}));

    const auto groups = ResourceEntries(typeEntries[1].OffsetToDirectory);
    ASSERT_EQ(groups.size(), 1u);
    EXPECT_EQ(ResourceEntries(typeEntries[0].OffsetToDirectory).size(), 7u);

    // Group -> language -> data entry -> the GRPICONDIR: a header of three WORDs, then 14-byte entries.
    const auto languages = ResourceEntries(groups[0].OffsetToDirectory);
    ASSERT_EQ(languages.size(), 1u);
    const size_t tree = Offset(Directory(IMAGE_DIRECTORY_ENTRY_RESOURCE).VirtualAddress);
    const auto* data = At<IMAGE_RESOURCE_DATA_ENTRY>(tree + languages[0].OffsetToData);
    const size_t group = Offset(data->OffsetToData);
    const WORD count = *At<WORD>(group + 4);
    std::vector<int> sizes;
    for (WORD i = 0; i < count; ++i) {
        const BYTE width = *At<BYTE>(group + 6 + 14 * i);
        EXPECT_EQ(*At<WORD>(group + 6 + 14 * i + 6), 32) << "bits per pixel of image " << i;
        sizes.push_back(width ? width : 256);
    }
    std::sort(sizes.begin(), sizes.end());
    EXPECT_EQ(sizes, (std::vector<int>{16, 24, 32, 48, 64, 128, 256}));
}

// The launcher's code and data, less the icon, as built by this project's toolchain with the static C++
// runtime: a new dependency (iostreams, say) shows up here long before anyone reads a map file. Debian 12's
// mingw-w64 (posix threads) gives 184 KiB; the 4 KiB above it take a stable update's drift, while
// std::to_wstring alone, which brings back the C runtime's printf family, adds more than that.
TEST(ImageSize, WithoutIconStaysWithinBudget)
{
    constexpr std::uintmax_t Budget = 188 * 1024;
    EXPECT_LE(SizeWithoutResources(BuildFolder() / L"tarnel.exe"), Budget);
}

}  // namespace
