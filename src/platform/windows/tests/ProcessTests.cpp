#include "../TskillProcessEnder.h"
#include "../WmiProcessSource.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

namespace vigilorn {
namespace {

using test::StartedProcess;
using test::TempFolder;

bool isDecimal(const std::string& s) {
    return !s.empty() && (s == "0" || s[0] != '0') &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

TEST(WmiProcessSource, ListsARunningInstallerWithItsOwner) {
    TempFolder folder;
    const std::wstring setup = folder.path() + L"\\setup.exe";
    ASSERT_TRUE(CopyFileW(test::idleProgram().c_str(), setup.c_str(), FALSE));
    StartedProcess installer(setup);
    ASSERT_TRUE(installer.started());

    WmiProcessSource source;
    std::vector<ProcessEntry> seen;
    auto failure = source.EnumerateProcesses([&](const ProcessEntry& e) {
        seen.push_back(e);
        return true;
    });
    ASSERT_FALSE(failure) << failure->error.description;

    auto it = std::find_if(seen.begin(), seen.end(),
                           [&](const ProcessEntry& e) { return e.Name == "setup.exe"; });
    ASSERT_NE(it, seen.end());
    EXPECT_EQ(it->processid, std::to_string(installer.id()));
    EXPECT_FALSE(it->User.empty());
    // The test program itself is listed too, and every id is plain decimal.
    EXPECT_TRUE(std::any_of(seen.begin(), seen.end(), [](const ProcessEntry& e) {
        return e.processid == std::to_string(GetCurrentProcessId());
    }));
    for (const ProcessEntry& e : seen) {
        EXPECT_TRUE(isDecimal(e.processid)) << e.Name << ": " << e.processid;
        EXPECT_FALSE(e.Name.empty());
    }
}

TEST(WmiProcessSource, StopsWhenTheVisitorSaysSo) {
    // Two processes at least: the test and this one.
    StartedProcess other(test::idleProgram());
    ASSERT_TRUE(other.started());

    WmiProcessSource source;
    int visits = 0;
    auto failure = source.EnumerateProcesses([&](const ProcessEntry&) {
        ++visits;
        return false;
    });
    EXPECT_FALSE(failure);
    EXPECT_EQ(visits, 1);
}

TEST(WmiProcessSource, CanEnumerateAgainAfterAnEarlyStop) {
    WmiProcessSource source;
    source.EnumerateProcesses([](const ProcessEntry&) { return false; });
    int visits = 0;
    EXPECT_FALSE(source.EnumerateProcesses([&](const ProcessEntry&) { return ++visits, true; }));
    EXPECT_GE(visits, 1);
}

TEST(TskillCommandLine, NamesTheProcessOrItsId) {
    std::string line;
    EXPECT_FALSE(tskillCommandLine("notepad", line));
    EXPECT_EQ(line, "tskill notepad");
    EXPECT_FALSE(tskillCommandLine("4242", line));
    EXPECT_EQ(line, "tskill 4242");
    // A space would split the name into two arguments.
    EXPECT_FALSE(tskillCommandLine("My Setup", line));
    EXPECT_EQ(line, "tskill \"My Setup\"");
    EXPECT_FALSE(tskillCommandLine("setup-x64_v2", line));
    EXPECT_EQ(line, "tskill setup-x64_v2");
    // No command processor reads the line: these are ordinary characters of a file name.
    EXPECT_FALSE(tskillCommandLine("R&D^tool%1", line));
    EXPECT_EQ(line, "tskill R&D^tool%1");
    EXPECT_FALSE(tskillCommandLine("%PATH%", line));
    EXPECT_EQ(line, "tskill %PATH%");
}

TEST(TskillCommandLine, RefusesWhatIsNoProcessName) {
    const std::string unsafe[] = {"",       "a\"b", "a|b",   "a<b", "a>b", "a\tb", "a\nb",
                                  "x\x7fy", "/a",   "..\\x", "c:x", "a*",  "a?",   "\xff\xfe"};
    for (const std::string& name : unsafe) {
        std::string line = "left over";
        auto failure = tskillCommandLine(name, line);
        ASSERT_TRUE(failure) << name;
        EXPECT_EQ(failure->number, ErrorNumber::InvalidProcedureCall) << name;
        EXPECT_NE(failure->description.find("not a valid process name"), std::string::npos);
        EXPECT_TRUE(line.empty()) << name;
    }
}

TEST(TskillProcessEnder, RefusesAnUnsafeNameBeforeStartingAnything) {
    WmiProcessSource source;
    TskillProcessEnder ender(source);
    auto failure = ender.endByName("setup | shutdown /s");
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->number, ErrorNumber::InvalidProcedureCall);
}

// tskill gets the name as it is, and comes up minimised and active.
TEST(TskillProcessEnder, StartsTskillMinimisedWithTheNameAsItIs) {
    TempFolder folder;
    const std::wstring tskill = folder.path() + L"\\tskill.exe";
    ASSERT_TRUE(CopyFileW(test::idleProgram().c_str(), tskill.c_str(), FALSE));
    const std::wstring report = folder.path() + L"\\report.txt";
    ASSERT_TRUE(SetEnvironmentVariableW(L"VIGILORN_IDLE_REPORT", report.c_str()));
    WmiProcessSource source;
    TskillProcessEnder ender(source, tskill);
    auto failure = ender.endByName("R&D^100%");
    SetEnvironmentVariableW(L"VIGILORN_IDLE_REPORT", nullptr);
    ASSERT_FALSE(failure) << failure->description;
    std::string text;
    for (int i = 0; i < 100 && text.find("cmd=") == std::string::npos; ++i) {
        Sleep(100);
        if (FILE* f = _wfopen(report.c_str(), L"r")) {
            char buf[512];
            text.assign(buf, std::fread(buf, 1, sizeof buf, f));
            std::fclose(f);
        }
    }
    EXPECT_NE(text.find("show=" + std::to_string(SW_SHOWMINIMIZED) + "\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("cmd=tskill R&D^100%\n"), std::string::npos) << text;
    for (int i = 0; i < 50 && !test::processesRunning(tskill).empty(); ++i)
        Sleep(100);
}

// A PID names the listed process only while its creation time is the listed one.
TEST(TskillProcessEnder, LeavesAProcessWithAnotherStartTimeAlone) {
    StartedProcess other(test::idleProgram());
    ASSERT_TRUE(other.started());
    const std::uint64_t started = processStartTime(other.id());
    ASSERT_NE(started, 0u);

    WmiProcessSource source;
    bool listed = false;
    source.EnumerateProcesses([&](const ProcessEntry& e) {
        if (e.processid == std::to_string(other.id())) {
            listed = true;
            EXPECT_EQ(e.startTime, started);
        }
        return true;
    });
    EXPECT_TRUE(listed);

    TskillProcessEnder ender(source);
    const std::string pid = std::to_string(other.id());
    EXPECT_EQ(ender.endByPid(pid, started + 1).outcome, PidEnd::Replaced);
    EXPECT_EQ(ender.endByPid(pid, started - 1).outcome, PidEnd::Replaced);
    EXPECT_EQ(test::processesRunning(test::idleProgram()).empty(), false);
    EXPECT_EQ(ender.endByPid("0", started).outcome, PidEnd::NotRunning);
}

TEST(StartDetached, ReturnsWhileTheProgramRuns) {
    TempFolder folder;
    const std::wstring program = folder.path() + L"\\detached.exe";
    ASSERT_TRUE(CopyFileW(test::idleProgram().c_str(), program.c_str(), FALSE));

    auto failure = startDetached(program, L"detached", SW_SHOWMINNOACTIVE);
    ASSERT_FALSE(failure) << failure->description;
    std::vector<DWORD> running;
    for (int i = 0; i < 50 && running.empty(); ++i) {
        running = test::processesRunning(program);
        if (running.empty())
            Sleep(100);
    }
    ASSERT_EQ(running.size(), 1u);
    EXPECT_TRUE(test::endProcess(running[0]));
}

TEST(StartDetached, ReportsAMissingProgram) {
    TempFolder folder;
    auto failure = startDetached(folder.path() + L"\\missing.exe", L"missing", SW_SHOWMINNOACTIVE);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->number, ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(failure->description.empty());
}

} // namespace
} // namespace vigilorn
