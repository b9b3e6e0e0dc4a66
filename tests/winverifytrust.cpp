// Windows' own verdict on signed executables, to set beside ours:
//   winverifytrust.exe ROOT.der FILE...
// adds ROOT to the current user's trusted roots, then asks WinVerifyTrust
// (WINTRUST_ACTION_GENERIC_VERIFY_V2, no revocation checks, no user interface) about each FILE and prints
// one line each: "0xHRESULT FILE". Exit status 0 once every file was asked, 2 when the root cannot be added.
#include <windows.h>

#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstdio>
#include <vector>

namespace {

bool add_root(const wchar_t* path)
{
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    std::vector<BYTE> der(1 << 16);
    DWORD got = 0;
    BOOL read = ReadFile(file, der.data(), static_cast<DWORD>(der.size()), &got, nullptr);
    CloseHandle(file);
    if (!read || got == 0)
        return false;
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
    if (!store)
        return false;
    BOOL added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), got,
                                                  CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    CertCloseStore(store, 0);
    return added != FALSE;
}

LONG ask(const wchar_t* path)
{
    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof file;
    file.pcwszFilePath = path;
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    LONG result = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    return result;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) {
        fwprintf(stderr, L"usage: winverifytrust.exe ROOT.der FILE...\n");
        return 2;
    }
    if (!add_root(argv[1])) {
        fwprintf(stderr, L"cannot add %ls to the trusted roots (error %lu)\n", argv[1], GetLastError());
        return 2;
    }
    for (int i = 2; i < argc; ++i)
        wprintf(L"0x%08lx %ls\n", static_cast<unsigned long>(ask(argv[i])), argv[i]);
    return 0;
}
