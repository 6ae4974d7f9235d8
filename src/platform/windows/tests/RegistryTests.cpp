#include "../GetKeyValue.h"
#include "../RegistryAutorun.h"
#include "../WinText.h"
#include "../WindowsSysInfoLauncher.h"
#include "TestSupport.h"
#include "platform/RuntimeError.h"

#include <gtest/gtest.h>

#include <memory>

namespace vigilorn {
namespace {

using test::TestKey;

// REG_SZ data as written: type, then the raw value.
LSTATUS readValue(HKEY root, const std::wstring& key, const wchar_t* name, DWORD& type,
                  std::wstring& data) {
    HKEY h = nullptr;
    LSTATUS status = RegOpenKeyExW(root, key.c_str(), 0, KEY_QUERY_VALUE, &h);
    if (status != ERROR_SUCCESS)
        return status;
    wchar_t buffer[512] = {};
    DWORD size = sizeof buffer - sizeof(wchar_t);
    status = RegQueryValueExW(h, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    RegCloseKey(h);
    data.assign(buffer, size / sizeof(wchar_t));
    while (!data.empty() && data.back() == L'\0')
        data.pop_back();
    return status;
}

TEST(RegistryAutorun, WritesTheQuotedPathAndRemovesIt) {
    // The machine-wide hive first, as the program uses; the user's when this account may not
    // write there.
    auto key = std::make_unique<TestKey>(HKEY_LOCAL_MACHINE);
    if (!key->created())
        key = std::make_unique<TestKey>(HKEY_CURRENT_USER);
    ASSERT_TRUE(key->created());
    const std::wstring run = key->wideName() + L"\\Run";
    RegistryAutorun autorun(key->root(), run, L"QMVigilorn");

    auto failure = autorun.write("C:\\Program Files\\X\\QMVigilornApp.exe");
    ASSERT_FALSE(failure) << failure->description;
    DWORD type = 0;
    std::wstring data;
    ASSERT_EQ(readValue(key->root(), run, L"QMVigilorn", type, data), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(data, L"\"C:\\Program Files\\X\\QMVigilornApp.exe\"");

    // Written again, the entry is replaced, not doubled.
    ASSERT_FALSE(autorun.write("C:\\Other\\QMVigilornApp.exe"));
    ASSERT_EQ(readValue(key->root(), run, L"QMVigilorn", type, data), ERROR_SUCCESS);
    EXPECT_EQ(data, L"\"C:\\Other\\QMVigilornApp.exe\"");

    autorun.remove();
    EXPECT_EQ(readValue(key->root(), run, L"QMVigilorn", type, data), ERROR_FILE_NOT_FOUND);
    autorun.remove(); // nothing left to delete: silently nothing
    RegistryAutorun neverWritten(key->root(), key->wideName() + L"\\Missing", L"QMVigilorn");
    neverWritten.remove();
}

TEST(RegistryAutorun, RefusesAPathThatWouldBreakItsQuotes) {
    TestKey key;
    ASSERT_TRUE(key.created());
    RegistryAutorun autorun(key.root(), key.wideName(), L"QMVigilorn");
    auto failure = autorun.write("C:\\X\" /evil");
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->number, ErrorNumber::InvalidProcedureCall);
    EXPECT_TRUE(autorun.write(""));
}

TEST(RegistryAutorun, ReportsTheSystemErrorWhenTheKeyCannotBeWritten) {
    HKEY notAKey = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x7e57));
    RegistryAutorun autorun(notAKey, L"Run", L"QMVigilorn");
    auto failure = autorun.write("C:\\X\\QMVigilornApp.exe");
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->number, ERROR_INVALID_HANDLE);
    EXPECT_EQ(failure->description, win::systemMessage(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(failure->description.empty());
}

class GetKeyValueTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(key.created()); }
    // The value read back, and whether GetKeyValue answered true.
    bool read(const std::string& value, std::string& text) {
        return GetKeyValue(key.root(), key.name(), value, text);
    }
    static std::string dword(std::uint32_t v) {
        return std::string(reinterpret_cast<const char*>(&v), sizeof v);
    }
    TestKey key;
};

TEST_F(GetKeyValueTest, ReadsStringsWithOrWithoutTheirTrailingNul) {
    ASSERT_TRUE(key.set("", "terminated", REG_SZ, std::string("C:\\Tools\\msinfo32.exe\0", 22)));
    ASSERT_TRUE(key.set("", "bare", REG_SZ, "C:\\Tools\\msinfo32.exe"));
    ASSERT_TRUE(key.set("", "empty", REG_SZ, std::string(1, '\0')));
    std::string text = "before";
    EXPECT_TRUE(read("terminated", text));
    EXPECT_EQ(text, "C:\\Tools\\msinfo32.exe");
    text = "before";
    EXPECT_TRUE(read("bare", text));
    EXPECT_EQ(text, "C:\\Tools\\msinfo32.exe");
    EXPECT_TRUE(read("empty", text));
    EXPECT_EQ(text, "");
}

TEST_F(GetKeyValueTest, ReadsDwordsAsSignedDecimal) {
    ASSERT_TRUE(key.set("", "d258", REG_DWORD, dword(258)));
    ASSERT_TRUE(key.set("", "dAll", REG_DWORD, dword(0xFFFFFFFFu)));
    ASSERT_TRUE(key.set("", "dZero", REG_DWORD, dword(0)));
    ASSERT_TRUE(key.set("", "dHigh", REG_DWORD, dword(0x12345678u)));
    std::string text;
    EXPECT_TRUE(read("d258", text));
    EXPECT_EQ(text, "258");
    EXPECT_TRUE(read("dAll", text));
    EXPECT_EQ(text, "-1");
    EXPECT_TRUE(read("dZero", text));
    EXPECT_EQ(text, "0");
    EXPECT_TRUE(read("dHigh", text));
    EXPECT_EQ(text, "305419896");
}

TEST_F(GetKeyValueTest, DwordDataWiderThan32BitsOverflows) {
    ASSERT_TRUE(key.set("", "wide", REG_DWORD, dword(1) + dword(1)));
    std::string text;
    try {
        read("wide", text);
        FAIL() << "no error";
    } catch (const RuntimeError& e) {
        EXPECT_EQ(e.error().number, ErrorNumber::Overflow);
    }
}

TEST_F(GetKeyValueTest, OtherTypesLeaveTheTextAsItWas) {
    ASSERT_TRUE(key.set("", "binary", REG_BINARY, std::string("\x01\x02\x03", 3)));
    ASSERT_TRUE(key.set("", "expand", REG_EXPAND_SZ, std::string("%SystemRoot%\0", 13)));
    std::string text = "as it was";
    EXPECT_TRUE(read("binary", text));
    EXPECT_EQ(text, "as it was");
    EXPECT_TRUE(read("expand", text));
    EXPECT_EQ(text, "as it was");
}

TEST_F(GetKeyValueTest, ValuesOver1024BytesFail) {
    ASSERT_TRUE(key.set("", "fits", REG_BINARY, std::string(1024, 'x')));
    ASSERT_TRUE(key.set("", "big", REG_BINARY, std::string(2000, 'x')));
    ASSERT_TRUE(key.set("", "justOver", REG_SZ, std::string(1024, 'y') + '\0'));
    std::string text = "before";
    EXPECT_TRUE(read("fits", text));
    EXPECT_EQ(text, "before");
    EXPECT_FALSE(read("big", text));
    EXPECT_EQ(text, "");
    text = "before";
    EXPECT_FALSE(read("justOver", text));
    EXPECT_EQ(text, "");
}

TEST_F(GetKeyValueTest, MissingKeysAndValuesFail) {
    std::string text = "before";
    EXPECT_FALSE(GetKeyValue(key.root(), key.name() + "\\Missing", "PATH", text));
    EXPECT_EQ(text, "");
    text = "before";
    EXPECT_FALSE(read("missing", text));
    EXPECT_EQ(text, "");
}

TEST_F(GetKeyValueTest, AValueWithNoDataIsARunTimeError) {
    ASSERT_TRUE(key.set("", "nothing", REG_SZ, ""));
    std::string text;
    try {
        read("nothing", text);
        FAIL() << "no error";
    } catch (const RuntimeError& e) {
        EXPECT_EQ(e.error().number, ErrorNumber::InvalidProcedureCall);
        EXPECT_EQ(e.error().description, "Invalid procedure call or argument");
    }
    // The key was closed on the way out: it can still be deleted and recreated.
    EXPECT_EQ(RegDeleteTreeA(key.root(), key.name().c_str()), ERROR_SUCCESS);
}

class SysInfoLauncherTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(key.created()); }
    TestKey key;
    std::string pathKey() const { return key.name() + "\\MSINFO"; }
    std::string folderKey() const { return key.name() + "\\Location"; }
    WindowsSysInfoLauncher launcher{key.root(), pathKey(), folderKey()};
};

TEST_F(SysInfoLauncherTest, BothLookupsFailWithoutTheirKeys) {
    std::string path = "before";
    EXPECT_FALSE(launcher.lookupToolPath(path));
    EXPECT_EQ(path, "");
    std::string folder = "before";
    EXPECT_FALSE(launcher.lookupToolFolder(folder));
    EXPECT_EQ(folder, "");
}

TEST_F(SysInfoLauncherTest, ThePathKeyNamesTheToolItself) {
    ASSERT_TRUE(key.set("MSINFO", "PATH", REG_SZ, std::string("C:\\Shared\\MSINFO32.EXE\0", 23)));
    std::string path;
    EXPECT_TRUE(launcher.lookupToolPath(path));
    EXPECT_EQ(path, "C:\\Shared\\MSINFO32.EXE");
    std::string folder;
    EXPECT_FALSE(launcher.lookupToolFolder(folder));
}

TEST_F(SysInfoLauncherTest, TheFolderKeyLeadsToAToolThatStarts) {
    test::TempFolder temp;
    const std::wstring folder = temp.path() + L"\\Shared Tools";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    const std::wstring tool = folder + L"\\MSINFO32.EXE";
    ASSERT_TRUE(CopyFileW(test::idleProgram().c_str(), tool.c_str(), FALSE));
    ASSERT_TRUE(key.set("Location", "MSINFO", REG_SZ, test::utf8(folder) + '\0'));

    std::string path;
    EXPECT_FALSE(launcher.lookupToolPath(path));
    std::string found;
    ASSERT_TRUE(launcher.lookupToolFolder(found));
    EXPECT_EQ(found, test::utf8(folder));
    const std::string toolPath = launcher.toolInFolder(found);
    EXPECT_EQ(toolPath, test::utf8(tool));
    EXPECT_TRUE(launcher.isRegularFile(toolPath));
    EXPECT_FALSE(launcher.isRegularFile(found));
    EXPECT_FALSE(launcher.isRegularFile(found + "\\NOSUCH.EXE"));

    ASSERT_TRUE(launcher.start(toolPath));
    std::vector<DWORD> running;
    for (int i = 0; i < 50 && running.empty(); ++i) {
        running = test::processesRunning(tool);
        if (running.empty())
            Sleep(100);
    }
    ASSERT_EQ(running.size(), 1u);
    EXPECT_TRUE(test::endProcess(running[0]));
}

TEST_F(SysInfoLauncherTest, GivesTheFolderAsUtf8) {
    // Written as UTF-16, read back through the ANSI code page, handed on as UTF-8.
    const std::wstring folder = L"C:\\Werkzeuge f\u00fcr Z\u00fcrich";
    HKEY h = nullptr;
    ASSERT_EQ(RegCreateKeyExW(key.root(), (key.wideName() + L"\\Location").c_str(), 0, nullptr, 0,
                              KEY_SET_VALUE, nullptr, &h, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(h, L"MSINFO", 0, REG_SZ, reinterpret_cast<const BYTE*>(folder.c_str()),
                   static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(h);
    std::string found;
    ASSERT_TRUE(launcher.lookupToolFolder(found));
    EXPECT_EQ(found, "C:\\Werkzeuge f\xc3\xbcr Z\xc3\xbcrich");
}

TEST_F(SysInfoLauncherTest, AnEmptyValueIsAFailedLookup) {
    ASSERT_TRUE(key.set("MSINFO", "PATH", REG_SZ, ""));
    std::string path;
    EXPECT_FALSE(launcher.lookupToolPath(path));
}

TEST_F(SysInfoLauncherTest, StartFailsForWhatIsNoProgram) {
    test::TempFolder temp;
    EXPECT_FALSE(launcher.start(test::utf8(temp.path()) + "\\NOSUCH.EXE"));
    EXPECT_FALSE(launcher.start(""));
    EXPECT_FALSE(launcher.start("C:\\a\" b"));
}

} // namespace
} // namespace vigilorn
