#pragma once
// What several test files need: temporary folders and registry keys, started processes.
#include "../WinHeaders.h"

#include <string>
#include <vector>

namespace vigilorn::test {

// The folder of the test program, where the helper program is built too.
std::wstring programFolder();
std::wstring idleProgram();

std::string utf8(const std::wstring& text);
std::wstring wide(const std::string& text);

// True when the tests run under Wine rather than Windows.
bool runningUnderWine();

// A new empty folder under the temporary folder, removed with everything in it.
class TempFolder {
public:
    TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    ~TempFolder();
    const std::wstring& path() const { return m_path; }

private:
    std::wstring m_path;
};

// A process started by the test and ended (and waited for) when the object goes.
class StartedProcess {
public:
    explicit StartedProcess(const std::wstring& program);
    StartedProcess(const StartedProcess&) = delete;
    StartedProcess& operator=(const StartedProcess&) = delete;
    ~StartedProcess();
    bool started() const { return m_info.hProcess != nullptr; }
    DWORD id() const { return m_info.dwProcessId; }

private:
    PROCESS_INFORMATION m_info{};
};

// Ends the process and waits for it; false when it could not be opened.
bool endProcess(DWORD pid);
// The processes whose executable is exactly this file.
std::vector<DWORD> processesRunning(const std::wstring& program);

// A key of its own under root\Software\QuillmereVigilornTests, deleted with its contents.
class TestKey {
public:
    explicit TestKey(HKEY root = HKEY_CURRENT_USER);
    TestKey(const TestKey&) = delete;
    TestKey& operator=(const TestKey&) = delete;
    ~TestKey();
    bool created() const { return m_key != nullptr; }
    HKEY root() const { return m_root; }
    // Relative to root.
    const std::string& name() const { return m_name; }
    std::wstring wideName() const { return wide(m_name); }
    // Sets a value of a subkey ("" = this key), data as given, byte for byte.
    bool set(const std::string& subKey, const std::string& value, DWORD type,
             const std::string& data);

private:
    HKEY m_root;
    HKEY m_key = nullptr;
    std::string m_name;
};

} // namespace vigilorn::test
