// Reads a Windows executable's version resource as Windows does (GetFileVersionInfoW and
// VerQueryValueW) and compares it with what the release promises: the project version in the
// fixed part and in the strings, the product name, the executable's description and file name,
// the licence. Prints every field that differs and exits 1, or prints what it read and exits 0.
//
// Usage: version-info-probe FILE_NAME VERSION DESCRIPTION
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::wstring widen(const char* text) {
    const int length = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    std::wstring wide(length > 0 ? length - 1 : 0, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, -1, wide.data(), length);
    return wide;
}

std::string narrow(const std::wstring& text) {
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string result(length > 0 ? length - 1 : 0, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, result.data(), length, nullptr, nullptr);
    return result;
}

// "1.2.3" as the two DWORDs of VS_FIXEDFILEINFO; a missing fourth number is 0.
bool packVersion(const std::string& text, DWORD& high, DWORD& low) {
    unsigned parts[4] = {};
    if (std::sscanf(text.c_str(), "%u.%u.%u.%u", &parts[0], &parts[1], &parts[2], &parts[3]) < 3) {
        return false;
    }
    high = (parts[0] << 16) | parts[1];
    low = (parts[2] << 16) | parts[3];
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fputs("usage: version-info-probe FILE_NAME VERSION DESCRIPTION\n", stderr);
        return 2;
    }
    const std::wstring file = widen(argv[1]);
    const std::string version = argv[2];
    DWORD versionHigh = 0;
    DWORD versionLow = 0;
    if (!packVersion(version, versionHigh, versionLow)) {
        std::fprintf(stderr, "not a version: %s\n", argv[2]);
        return 2;
    }

    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(file.c_str(), &ignored);
    std::vector<BYTE> block(size);
    if (size == 0 || !GetFileVersionInfoW(file.c_str(), 0, size, block.data())) {
        std::fprintf(stderr, "%s: no version resource (error %lu)\n", argv[1], GetLastError());
        return 1;
    }

    int failures = 0;
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedSize = 0;
    if (!VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixedSize) ||
        fixedSize < sizeof *fixed || fixed->dwSignature != VS_FFI_SIGNATURE) {
        std::fputs("no VS_FIXEDFILEINFO\n", stderr);
        return 1;
    }
    const struct {
        const char* name;
        DWORD actual;
        DWORD expected;
    } numbers[] = {
        {"FILEVERSION high", fixed->dwFileVersionMS, versionHigh},
        {"FILEVERSION low", fixed->dwFileVersionLS, versionLow},
        {"PRODUCTVERSION high", fixed->dwProductVersionMS, versionHigh},
        {"PRODUCTVERSION low", fixed->dwProductVersionLS, versionLow},
        {"FILETYPE", fixed->dwFileType, VFT_APP},
        {"FILEFLAGS", fixed->dwFileFlags & fixed->dwFileFlagsMask, 0},
    };
    for (const auto& number : numbers) {
        if (number.actual != number.expected) {
            std::printf("%s: 0x%08lx, expected 0x%08lx\n", number.name, number.actual,
                        number.expected);
            ++failures;
        }
    }

    // The strings of English (United States) in UTF-16, the only translation the resource has.
    const std::wstring versionText = widen(argv[2]);
    const struct {
        const wchar_t* name;
        std::wstring expected;
    } strings[] = {
        {L"ProductName", L"Tavik Updater"}, {L"FileDescription", widen(argv[3])},
        {L"FileVersion", versionText},      {L"ProductVersion", versionText},
        {L"OriginalFilename", file},        {L"CompanyName", L"Tavik updater developers"},
    };
    for (const auto& string : strings) {
        const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + string.name;
        wchar_t* value = nullptr;
        UINT length = 0;
        const std::wstring actual =
            VerQueryValueW(block.data(), path.c_str(), reinterpret_cast<void**>(&value), &length)
                ? std::wstring(value)
                : L"(missing)";
        std::printf("%s: %s\n", narrow(string.name).c_str(), narrow(actual).c_str());
        if (actual != string.expected) {
            std::printf("  expected: %s\n", narrow(string.expected).c_str());
            ++failures;
        }
    }
    wchar_t* copyright = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block.data(), L"\\StringFileInfo\\040904B0\\LegalCopyright",
                        reinterpret_cast<void**>(&copyright), &length) ||
        std::wstring(copyright).find(L"MIT License") == std::wstring::npos) {
        std::puts("LegalCopyright: missing or without the licence");
        ++failures;
    }
    return failures == 0 ? 0 : 1;
}
