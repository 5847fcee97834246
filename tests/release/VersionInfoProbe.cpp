// Reads an executable's version resource through the version API and compares it with what the
// release promises; prints what it read and every field that differs, and exits 1 if one does.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    unsigned v[4] = {};  // a missing fourth number is 0
    if (argc != 4 || std::sscanf(argv[2], "%u.%u.%u.%u", &v[0], &v[1], &v[2], &v[3]) < 3) {
        std::fputs("usage: version-info-probe FILE_NAME VERSION(a.b.c[.d]) DESCRIPTION\n", stderr);
        return 2;
    }
    DWORD ignored = 0;
    std::vector<char> block(GetFileVersionInfoSizeA(argv[1], &ignored));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT size = 0;
    if (block.empty() || !GetFileVersionInfoA(argv[1], 0, block.size(), block.data()) ||
        !VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &size) ||
        size < sizeof *fixed || fixed->dwSignature != VS_FFI_SIGNATURE) {
        std::printf("%s: no version resource (error %lu)\n", argv[1], GetLastError());
        return 1;
    }
    // The fixed part: file and product version, an application, no flags (debug, pre-release).
    const DWORD high = v[0] << 16 | v[1], low = v[2] << 16 | v[3];
    bool right = fixed->dwFileVersionMS == high && fixed->dwFileVersionLS == low &&
                 fixed->dwProductVersionMS == high && fixed->dwProductVersionLS == low &&
                 fixed->dwFileType == VFT_APP && (fixed->dwFileFlags & fixed->dwFileFlagsMask) == 0;
    std::printf("fixed: %08lx %08lx %08lx %08lx type %lu flags %lx%s\n", fixed->dwFileVersionMS,
                fixed->dwFileVersionLS, fixed->dwProductVersionMS, fixed->dwProductVersionLS,
                fixed->dwFileType, fixed->dwFileFlags, right ? "" : " (wrong)");

    // The strings of English (United States) in UTF-16, the only translation the resource has.
    const std::pair<std::string, std::string> strings[] = {
        {"ProductName", "Tavik Updater"},  {"FileDescription", argv[3]},
        {"FileVersion", argv[2]},          {"ProductVersion", argv[2]},
        {"OriginalFilename", argv[1]},     {"CompanyName", "Tavik updater developers"},
        {"LegalCopyright", "MIT License"},  // contained, not whole
    };
    for (const auto& [name, expected] : strings) {
        char* value = nullptr;
        UINT length = 0;
        const std::string actual =
            VerQueryValueA(block.data(), ("\\StringFileInfo\\040904B0\\" + name).c_str(),
                           reinterpret_cast<void**>(&value), &length)
                ? value
                : "(missing)";
        const bool matches = name == "LegalCopyright" ? actual.find(expected) != std::string::npos
                                                      : actual == expected;
        std::printf("%s: %s%s\n", name.c_str(), actual.c_str(),
                    matches ? "" : (" (expected: " + expected + ")").c_str());
        right = right && matches;
    }
    return right ? 0 : 1;
}
