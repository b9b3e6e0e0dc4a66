// Checks the built tarnel.exe as a file: what Windows is told about it, which DLLs it needs, and that its
// only resource is the application icon, image for image the .ico file it was built from.
#include <windows.h>

#include <bcrypt.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <filesystem>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "harness.h"
#include "test_icon.h"

namespace {

// A little-endian number at `offset` of `bytes`, which must hold it.
template <typename T>
T Read(const std::string& bytes, size_t offset)
{
    if (offset > bytes.size() || bytes.size() - offset < sizeof(T))
        throw std::out_of_range("a field past the end of " + std::to_string(bytes.size()) + " bytes");
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

// One image of an .ico file: its directory entry and its bytes.
struct IconImage {
    BYTE width, height, colours;
    WORD planes, bits;
    std::string data;
};

struct IconFile {
    std::string path;
    std::string sha256;  // lower-case hex
    std::vector<IconImage> images;
};

std::string Sha256(const std::string& bytes)
{
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    UCHAR digest[32];
    const bool done =
        BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) &&
        BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0)) &&
        BCRYPT_SUCCESS(BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())),
                                      static_cast<ULONG>(bytes.size()), 0)) &&
        BCRYPT_SUCCESS(BCryptFinishHash(hash, digest, sizeof digest, 0));
    if (hash)
        BCryptDestroyHash(hash);
    if (algorithm)
        BCryptCloseAlgorithmProvider(algorithm, 0);
    if (!done)
        throw std::runtime_error("SHA-256 is not available");
    std::string hex;
    for (const UCHAR byte : digest) {
        hex += "0123456789abcdef"[byte >> 4];
        hex += "0123456789abcdef"[byte & 15];
    }
    return hex;
}

// The .ico that tarnel.exe was built from: TARNEL_TEST_ICON from the environment (a released zip's
// icon.ico, say), else the one this build was configured with.
IconFile ReadIcon()
{
    std::wstring path(32768, L'\0');
    path.resize(GetEnvironmentVariableW(L"TARNEL_TEST_ICON", path.data(), static_cast<DWORD>(path.size())));
    if (path.empty())
        path = TARNEL_TEST_ICON;
    IconFile icon;
    // u8string() is a std::string before C++20 and a std::u8string since: copy its bytes either way.
    const auto name = std::filesystem::path(path).u8string();
    icon.path.assign(name.begin(), name.end());
    std::ifstream file(std::filesystem::path(path), std::ios::binary);
    if (!file)
        throw std::runtime_error("cannot read the icon " + icon.path + " (TARNEL_TEST_ICON names another)");
    const std::string bytes{std::istreambuf_iterator<char>(file), {}};
    icon.sha256 = Sha256(bytes);
    if (Read<WORD>(bytes, 0) != 0 || Read<WORD>(bytes, 2) != 1)
        throw std::runtime_error(icon.path + " is not an .ico file");
    const WORD count = Read<WORD>(bytes, 4);
    for (WORD i = 0; i < count; ++i) {
        const size_t entry = 6 + 16 * size_t{i};
        IconImage image{Read<BYTE>(bytes, entry),     Read<BYTE>(bytes, entry + 1),
                        Read<BYTE>(bytes, entry + 2), Read<WORD>(bytes, entry + 4),
                        Read<WORD>(bytes, entry + 6), {}};
        const DWORD size = Read<DWORD>(bytes, entry + 8);
        const DWORD offset = Read<DWORD>(bytes, entry + 12);
        if (offset > bytes.size() || bytes.size() - offset < size)
            throw std::runtime_error("an image outside " + icon.path);
        image.data = bytes.substr(offset, size);
        icon.images.push_back(image);
    }
    return icon;
}

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

    // The bytes of a resource: the data entry under the only language of `name`.
    std::string LeafData(const IMAGE_RESOURCE_DIRECTORY_ENTRY& name) const
    {
        const auto languages = ResourceEntries(name.OffsetToDirectory);
        if (languages.size() != 1)
            throw std::runtime_error("resource " + std::to_string(name.Id) + " has " +
                                     std::to_string(languages.size()) + " languages, not one");
        const size_t tree = Offset(Directory(IMAGE_DIRECTORY_ENTRY_RESOURCE).VirtualAddress);
        const auto* data = At<IMAGE_RESOURCE_DATA_ENTRY>(tree + languages[0].OffsetToData);
        const size_t start = Offset(data->OffsetToData);
        At<char>(start + data->Size - 1);  // inside the file
        return std::string(bytes_.data() + start, data->Size);
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

TEST_F(Image, OnlyResourceIsTheIconBuiltFromItsIcoFile)
{
    const IconFile icon = ReadIcon();
    ASSERT_FALSE(icon.images.empty()) << icon.path;

    const auto typeEntries = ResourceEntries(0);
    std::vector<WORD> types;
    for (const auto& entry : typeEntries)
        types.push_back(entry.Id);
    // No manifest, version information, string table or dialog: icon images and their one group.
    ASSERT_EQ(types, (std::vector<WORD>{3 /* RT_ICON */, 14 /* RT_GROUP_ICON */}));
    const auto groups = ResourceEntries(typeEntries[1].OffsetToDirectory);
    ASSERT_EQ(groups.size(), 1u);
    const auto iconEntries = ResourceEntries(typeEntries[0].OffsetToDirectory);
    ASSERT_EQ(iconEntries.size(), icon.images.size()) << "images in tarnel.exe and in " << icon.path;

    // The group (a GRPICONDIR: three WORDs, then 14-byte entries) is the .ico's directory, with each image's
    // file offset replaced by the id of its RT_ICON resource, which holds the image's bytes.
    const std::string group = LeafData(groups[0]);
    ASSERT_GE(group.size(), 6u);
    EXPECT_EQ(Read<WORD>(group, 2), 1) << "resource type of the group";
    ASSERT_EQ(Read<WORD>(group, 4), icon.images.size()) << "images in the group";
    ASSERT_EQ(group.size(), 6 + 14 * icon.images.size());
    for (size_t i = 0; i < icon.images.size(); ++i) {
        const size_t entry = 6 + 14 * i;
        const IconImage& image = icon.images[i];
        SCOPED_TRACE("image " + std::to_string(i + 1) + " of " + icon.path);
        EXPECT_EQ(Read<BYTE>(group, entry), image.width);
        EXPECT_EQ(Read<BYTE>(group, entry + 1), image.height);
        EXPECT_EQ(Read<BYTE>(group, entry + 2), image.colours);
        EXPECT_EQ(Read<WORD>(group, entry + 4), image.planes);
        EXPECT_EQ(Read<WORD>(group, entry + 6), image.bits) << "bits per pixel";
        EXPECT_EQ(Read<DWORD>(group, entry + 8), image.data.size());
        const WORD id = Read<WORD>(group, entry + 12);
        const auto found = std::find_if(iconEntries.begin(), iconEntries.end(),
                                        [id](const IMAGE_RESOURCE_DIRECTORY_ENTRY& e) { return e.Id == id; });
        ASSERT_NE(found, iconEntries.end()) << "no RT_ICON " << id;
        EXPECT_TRUE(LeafData(*found) == image.data) << "the bytes of RT_ICON " << id;
    }
}

// The project's own icon (told by its SHA-256) also has every size Explorer asks for, in full colour.
TEST_F(Image, DefaultIconHasTheSevenUsualSizes)
{
    const IconFile icon = ReadIcon();
    if (icon.sha256 != TARNEL_DEFAULT_ICON_SHA256)
        GTEST_SKIP() << "a publisher's icon (" << icon.path << "), not the default: its sizes are its own";
    std::vector<int> sizes;
    for (const IconImage& image : icon.images) {
        EXPECT_EQ(image.bits, 32) << "bits per pixel of the " << +image.width << "-pixel image";
        EXPECT_EQ(image.width, image.height);
        sizes.push_back(image.width ? image.width : 256);
    }
    std::sort(sizes.begin(), sizes.end());
    EXPECT_EQ(sizes, (std::vector<int>{16, 24, 32, 48, 64, 128, 256}));
}

// The launcher's code and data, less the icon, as built by this project's mingw-w64 toolchain: a new
// dependency (iostreams, say, or a use of the string that throws) shows up here long before anyone reads a
// map file. std::to_wstring alone, which brings back the C runtime's printf family, overruns it.
TEST(ImageSize, WithoutIconStaysWithinBudget)
{
#ifdef _MSC_VER
    GTEST_SKIP() << "the size budget is the mingw-w64 build's; MSVC links its C runtime in statically";
#else
    EXPECT_LE(SizeWithoutResources(BuildFolder() / L"tarnel.exe"), SizeBudgetWithoutIcon);
#endif
}

}  // namespace
