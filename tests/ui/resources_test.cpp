// The resources compiled into the dialog program, read back from the built executable:
// texts survive the resource compiler as the right UTF-16 (a wrong code page garbles the
// Chinese ones silently), and language, icon formats, version record and manifest are
// what the program promises.
// clang-format off
#include <windows.h>  // before the other system headers, which need its types
// clang-format on
#include <gtest/gtest.h>
#include <winver.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "resource.h"

namespace {

// ZQ418_APP: the program's Unix path (set by CTest); the test runs under Wine, where the
// root of the Unix file system is drive Z:.
std::wstring AppPath() {
    const char* unixPath = std::getenv("ZQ418_APP");
    if (unixPath == nullptr) return {};
    std::wstring path = L"Z:";
    for (const char* p = unixPath; *p != '\0'; ++p) {
        path += *p == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(*p));
    }
    return path;
}

const WORD kTaiwan = MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_TRADITIONAL);

class ResourcesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        path_ = AppPath();
        ASSERT_FALSE(path_.empty()) << "ZQ418_APP is not set";
        module_ = LoadLibraryExW(path_.c_str(), nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_NE(module_, nullptr) << "cannot load the program's resources";
    }
    void TearDown() override {
        if (module_ != nullptr) FreeLibrary(module_);
    }

    // The bytes of a resource in the Taiwanese language; empty when there is none.
    std::vector<BYTE> Resource(LPCWSTR type, LPCWSTR name) {
        HRSRC info = FindResourceExW(module_, type, name, kTaiwan);
        if (info == nullptr) return {};
        HGLOBAL handle = LoadResource(module_, info);
        auto* data = static_cast<const BYTE*>(LockResource(handle));
        return std::vector<BYTE>(data, data + SizeofResource(module_, info));
    }

    std::wstring path_;
    HMODULE module_ = nullptr;
};

TEST_F(ResourcesTest, TextsAreTheProgramsOwn) {
    const wchar_t* text = nullptr;
    int length = LoadStringW(module_, IDS_ABOUTBOX, reinterpret_cast<LPWSTR>(&text), 0);
    ASSERT_GT(length, 0);
    EXPECT_EQ(std::wstring(text, length), L"關於 ZQ-418_Firmware_Tool(&A)...");

    // Dialog captions and control texts, found in the templates as UTF-16. ASCII letters are
    // compared without case: the resource compiler stores class names in capitals.
    auto upper = [](std::wstring text) {
        for (wchar_t& c : text) {
            if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
        }
        return text;
    };
    auto contains = [&](const std::vector<BYTE>& bytes, const std::wstring& text) {
        std::wstring units(bytes.size() / sizeof(wchar_t), L'\0');
        std::memcpy(units.data(), bytes.data(), units.size() * sizeof(wchar_t));
        return upper(units).find(upper(text)) != std::wstring::npos;
    };
    std::vector<BYTE> about = Resource(RT_DIALOG, MAKEINTRESOURCEW(IDD_ABOUTBOX));
    std::vector<BYTE> main = Resource(RT_DIALOG, MAKEINTRESOURCEW(IDD_ZQ418_FIRMWARE_TOOL_DIALOG));
    ASSERT_FALSE(about.empty());
    ASSERT_FALSE(main.empty());
    for (const wchar_t* expected : {L"關於 ZQ-418_Firmware_Tool", L"ZQ-418_Firmware_Tool, 1.0 版",
                                    L"確定", L"MS Shell Dlg"}) {
        EXPECT_TRUE(contains(about, expected)) << "About box lacks a text";
    }
    for (const wchar_t* expected : {L"ZQ-418_Firmware_Tool(0904163)", L"COM:", L"Select Firmware:",
                                    L"Update", L"msctls_progress32", L"MS Shell Dlg"}) {
        EXPECT_TRUE(contains(main, expected)) << "main window lacks a text";
    }
}

TEST_F(ResourcesTest, DialogsStringsIconAndVersionAreTraditionalChineseTaiwan) {
    struct Case {
        LPCWSTR type;
        LPCWSTR name;
        const char* what;
    } cases[] = {
        {RT_DIALOG, MAKEINTRESOURCEW(IDD_ABOUTBOX), "About box"},
        {RT_DIALOG, MAKEINTRESOURCEW(IDD_ZQ418_FIRMWARE_TOOL_DIALOG), "main window"},
        {RT_STRING, MAKEINTRESOURCEW(IDS_ABOUTBOX / 16 + 1), "string block of 101"},
        {RT_GROUP_ICON, MAKEINTRESOURCEW(IDR_MAINFRAME), "icon 128"},
        {RT_VERSION, MAKEINTRESOURCEW(VS_VERSION_INFO), "version record"},
    };
    for (const Case& c : cases) {
        EXPECT_NE(FindResourceExW(module_, c.type, c.name, kTaiwan), nullptr) << c.what;
    }
}

TEST_F(ResourcesTest, IconHas16_32_48PixelsAt4_8_24Bits) {
    std::vector<BYTE> group = Resource(RT_GROUP_ICON, MAKEINTRESOURCEW(IDR_MAINFRAME));
    ASSERT_GE(group.size(), 6u);
    // GRPICONDIR: reserved, type, count; then 14-byte entries (width, height, colours,
    // reserved, planes, bit count, bytes, id).
    WORD count = *reinterpret_cast<const WORD*>(&group[4]);
    ASSERT_EQ(group.size(), 6u + 14u * count);
    std::set<std::pair<int, int>> formats;
    for (WORD i = 0; i < count; ++i) {
        const BYTE* entry = &group[6 + 14 * i];
        int width = entry[0];
        int height = entry[1];
        int bits = *reinterpret_cast<const WORD*>(entry + 6);
        EXPECT_EQ(width, height);
        formats.insert({width, bits});
        // Every image is there and is a plain bitmap of the size and depth it claims.
        WORD id = *reinterpret_cast<const WORD*>(entry + 12);
        std::vector<BYTE> image = Resource(RT_ICON, MAKEINTRESOURCEW(id));
        ASSERT_GE(image.size(), sizeof(BITMAPINFOHEADER)) << "icon image " << id;
        auto* header = reinterpret_cast<const BITMAPINFOHEADER*>(image.data());
        EXPECT_EQ(header->biWidth, width);
        EXPECT_EQ(header->biHeight, 2 * height);  // colour bitmap and mask
        EXPECT_EQ(header->biBitCount, bits);
    }
    std::set<std::pair<int, int>> expected;
    for (int size : {16, 32, 48}) {
        for (int bits : {4, 8, 24}) expected.insert({size, bits});
    }
    EXPECT_EQ(formats, expected);
}

TEST_F(ResourcesTest, VersionRecord) {
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path_.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> data(size);
    ASSERT_TRUE(GetFileVersionInfoW(path_.c_str(), 0, size, data.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, MAKELONG(0, 1));  // 1.0
    EXPECT_EQ(fixed->dwFileVersionLS, MAKELONG(1, 0));  // .0.1
    EXPECT_EQ(fixed->dwProductVersionMS, MAKELONG(0, 1));
    EXPECT_EQ(fixed->dwProductVersionLS, MAKELONG(1, 0));

    WORD* translation = nullptr;
    ASSERT_TRUE(VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation",
                               reinterpret_cast<void**>(&translation), &length));
    ASSERT_GE(length, 4u);
    EXPECT_EQ(translation[0], kTaiwan);
    EXPECT_EQ(translation[1], 1200);  // UTF-16

    auto value = [&](const wchar_t* name) {
        std::wstring key = std::wstring(L"\\StringFileInfo\\040404B0\\") + name;
        wchar_t* text = nullptr;
        UINT chars = 0;
        if (!VerQueryValueW(data.data(), key.c_str(), reinterpret_cast<void**>(&text), &chars)) {
            return std::wstring(L"<missing>");
        }
        return std::wstring(text);
    };
    EXPECT_EQ(value(L"OriginalFilename"), L"ZQ-418_Firmware_Tool.exe");
    EXPECT_EQ(value(L"InternalName"), L"ZQ-418_Firmware_Tool.exe");
    EXPECT_EQ(value(L"FileVersion"), L"1.0.0.1");
    EXPECT_EQ(value(L"ProductVersion"), L"1.0.0.1");
}

TEST_F(ResourcesTest, ManifestAsksForCommonControls6AsInvoker) {
    HRSRC info = FindResourceW(module_, MAKEINTRESOURCEW(1), RT_MANIFEST);
    ASSERT_NE(info, nullptr);
    auto* data = static_cast<const char*>(LockResource(LoadResource(module_, info)));
    std::string manifest(data, SizeofResource(module_, info));
    EXPECT_NE(manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""),
              std::string::npos);
    EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
}

}  // namespace
