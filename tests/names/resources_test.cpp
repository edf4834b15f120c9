// What the file properties of the product's binaries say, and the one
// manifest of the program.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "morphex_version.h"

namespace {

const std::string bin = MORPHEX_BIN_DIR;

std::string version_string(const std::vector<BYTE> &info, const char *name)
{
    char query[64];
    std::snprintf(query, sizeof query, "\\StringFileInfo\\040904B0\\%s", name);
    char *value = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(info.data(), query, reinterpret_cast<void **>(&value), &length) || !value)
        return "(none)";
    return value;
}

struct binary_case {
    const char *file;
    const char *description;
    DWORD type;
};

TEST(VersionResource, EveryBinarySaysWhatItIs)
{
    const binary_case cases[] = {
        {"morphex.exe", "Morphex, the text document converter", VFT_APP},
        {"ravel.dll", "Morphex file-name and text routines", VFT_DLL},
        {"cnvtext.dll", "Morphex plain-text converter plug-in", VFT_DLL},
    };
    for (const binary_case &c : cases) {
        const std::string file = bin + "/" + c.file;
        DWORD handle = 0;
        const DWORD size = GetFileVersionInfoSizeA(file.c_str(), &handle);
        ASSERT_NE(0u, size) << file << " has no version resource";
        std::vector<BYTE> info(size);
        ASSERT_TRUE(GetFileVersionInfoA(file.c_str(), 0, size, info.data())) << file;
        EXPECT_EQ(MORPHEX_PRODUCT_NAME, version_string(info, "ProductName")) << c.file;
        EXPECT_EQ(MORPHEX_VERSION_TEXT, version_string(info, "ProductVersion")) << c.file;
        EXPECT_EQ(MORPHEX_VERSION_TEXT, version_string(info, "FileVersion")) << c.file;
        EXPECT_EQ(c.description, version_string(info, "FileDescription")) << c.file;
        EXPECT_EQ(c.file, version_string(info, "OriginalFilename")) << c.file;
        VS_FIXEDFILEINFO *fixed = nullptr;
        UINT length = 0;
        ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void **>(&fixed), &length));
        EXPECT_EQ(static_cast<DWORD>(MORPHEX_VERSION_MAJOR << 16 | MORPHEX_VERSION_MINOR), fixed->dwFileVersionMS);
        EXPECT_EQ(c.type, fixed->dwFileType) << c.file;
    }
}

BOOL CALLBACK count_name(HMODULE, LPCSTR, LPSTR, LONG_PTR count)
{
    ++*reinterpret_cast<int *>(count);
    return TRUE;
}

TEST(Manifest, TheProgramCarriesOneWithUtf8AndNoElevation)
{
    const std::string exe = bin + "/morphex.exe";
    HMODULE module = LoadLibraryExA(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, module) << exe;
    int manifests = 0;
    EnumResourceNamesA(module, MAKEINTRESOURCEA(24), count_name, reinterpret_cast<LONG_PTR>(&manifests));
    EXPECT_EQ(1, manifests) << "one manifest, never the toolchain's beside ours";
    HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
    ASSERT_NE(nullptr, found);
    const char *text = static_cast<const char *>(LockResource(LoadResource(module, found)));
    const std::string manifest(text, SizeofResource(module, found));
    FreeLibrary(module);
    for (const char *part :
         {"<activeCodePage xmlns=\"http://schemas.microsoft.com/SMI/2019/WindowsSettings\">UTF-8</activeCodePage>",
          "level=\"asInvoker\"", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
          "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"})
        EXPECT_NE(std::string::npos, manifest.find(part)) << part;
}

}  // namespace
