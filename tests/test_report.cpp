// The system report file: its header, its section title blocks, its encoding
// and its packing list entry.
#include <gtest/gtest.h>

#include <algorithm>
#include <new>
#include <sstream>

#include "DiagReport.h"
#include "HardwareCalls.h"
#include "TimedWork.h"
#include "cvexception.h"
#include "collector_util.h"
#include "test_util.h"

namespace {

const wchar_t StudioKey[] = L"SOFTWARE\\Meridyne\\Corvane Studio";
const wchar_t PolicyKey[] = L"SOFTWARE\\Meridyne\\Corvane Studio\\Policy";
const std::wstring Rule(180, L'-');

std::vector<std::wstring> SplitAtLf(const std::wstring& text) {
    std::vector<std::wstring> lines;
    size_t start = 0;
    for (size_t end; (end = text.find(L'\n', start)) != std::wstring::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    if (start < text.size()) lines.push_back(text.substr(start) + L"<unterminated>");
    return lines;
}

TEST(ReportHeader, FourLinesEndedByLf) {
    std::wostringstream out;
    DiagReport::LogHeader(out);
    const std::wstring text = out.str();
    EXPECT_EQ(std::wstring::npos, text.find(L'\r'));
    const std::vector<std::wstring> lines = SplitAtLf(text);
    ASSERT_EQ(4u, lines.size());
    EXPECT_EQ(0u, lines[0].find(L"Corvane Studio")) << Narrow(lines[0]);
    EXPECT_EQ(L"Diagnostic Information Collector, Version: 8.3.1406.0", lines[1]);
    EXPECT_EQ(L"", lines[2]);
    EXPECT_EQ(Rule, lines[3]);
}

TEST(ReportSectionTitle, BlockAppendedToTheStream) {
    for (const wchar_t* title : {L"Registry Keys", L"Product policy - 00000002", L""}) {
        std::wostringstream out;
        out << L"before\n";
        DiagReport::LogSectionTitle(out, title);
        EXPECT_EQ(L"before\n\n" + Rule + L"\n" + title + L"\n" + Rule + L"\n", out.str()) << Narrow(title);
    }
}

TEST(ReportFile, Utf16WithoutByteOrderMarkAndItsPackingEntry) {
    struct Case {
        const char* name;
        bool policyKey;
        bool workFolder;
        const wchar_t* policyTitle;  // null: no file is written
        bool policyEntry;
    } cases[] = {
        {"policy exported", true, true, L"Product policy - see file \"CvPolicy.inf\"", true},
        {"no policy", false, true, L"Product policy - 00000002", false},
        {"work folder missing", true, false, nullptr, false},
    };
    PolicyFaultOff();
    std::wostringstream header;
    DiagReport::LogHeader(header);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SavedKey policy(PolicyKey);
        policy.Remove();
        if (c.policyKey) policy.SetDword(L"PasswordMinimumLength", 12);
        const std::wstring folder = MakeTempFolder(L"report");
        DiagReport report;
        report.WorkFolder = c.workFolder ? folder : folder + L"\\missing";
        const std::wstring path = report.WorkFolder + L"\\CvSysInfo.log";
        EXPECT_NO_THROW(report.LogSysInfo(L"CvSysInfo.log"));

        ASSERT_FALSE(report.PackList.empty());
        EXPECT_EQ(path, report.PackList[0].Source);
        EXPECT_EQ(L"", report.PackList[0].Folder);
        EXPECT_TRUE(report.PackList[0].DeleteAfterPacking);
        const std::wstring policyFile = report.WorkFolder + L"\\CvPolicy.inf";
        size_t policyEntries = 0;
        for (const PackItem& item : report.PackList)
            if (item.Source == policyFile && item.Folder.empty() && item.DeleteAfterPacking) ++policyEntries;
        EXPECT_EQ(c.policyEntry ? 1u : 0u, policyEntries);

        const std::string bytes = ReadBytes(path);
        if (!c.policyTitle) {
            EXPECT_EQ("<missing>", bytes);
        } else {
            const std::string product("C\0o\0r\0v\0a\0n\0e\0 \0S\0t\0u\0d\0i\0o\0", 28);
            EXPECT_EQ(product, bytes.substr(0, product.size()));
            ASSERT_EQ(0u, bytes.size() % 2);
            const std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
            EXPECT_EQ(0u, text.find(header.str()));
            const std::wstring block = L"\n" + Rule + L"\n" + c.policyTitle + L"\n" + Rule + L"\n";
            const size_t at = text.find(block);
            EXPECT_NE(std::wstring::npos, at) << "no product policy block";
            EXPECT_GE(at, header.str().size());
        }
        DeleteTree(folder);
    }
}

HRESULT WINAPI LocatorOutOfMemory(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID*) { throw std::bad_alloc(); }

// A failure of any kind inside a section ends that section; the text gathered
// before it is written all the same, and the failure is traced.
TEST(ReportFile, FailureOfAnyKindKeepsTheTextGathered) {
    const std::wstring folder = MakeTempFolder(L"report");
    HardwareCalls calls = SystemHardwareCalls;
    calls.CoCreateInstance = &LocatorOutOfMemory;
    DiagReport report;
    report.WorkFolder = folder;
    report.Hardware = &calls;
    std::vector<std::string> trace;
    {
        TraceCapture capture(folder);
        EXPECT_NO_THROW(report.LogSysInfo(L"CvSysInfo.log"));
        trace = capture.Lines();
    }
    std::wostringstream header;
    DiagReport::LogHeader(header);
    const std::string bytes = ReadBytes(folder + L"\\CvSysInfo.log");
    // The hardware blocks are missing; the next block follows the header.
    header << L"\nComputer role:\n";
    const std::string text = Narrow(std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2));
    const std::string expected = Narrow(header.str());
    EXPECT_EQ(expected, text.substr(0, expected.size()));
    EXPECT_TRUE(std::any_of(trace.begin(), trace.end(), [](const std::string& line) {
        return line.find("[DiagReport::LogSysInfo] Hardware: exception: std::bad_alloc") != std::string::npos;
    })) << "no trace line";
    DeleteTree(folder);
}

// A section that lets an error or any other exception out ends there; the caller goes on, and
// the trace names the section and the error.
TEST(ReportSection, FailureEndsTheSectionOnly) {
    const struct {
        const char* name;
        void (*fail)();
        const char* traced;
        const wchar_t* result;  // for the manifest
    } cases[] = {
        {"error", [] { CvBase::ThrowError(0xE601005F, L"SysReport", 1, L"Section", L"CvSrvApi.dll"); },
         "Code: 0xE601005F", L"error 0xe601005f"},
        {"other exception", [] { throw 42; }, "Unknown exception", L"error 0xffffffff"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::wstring folder = MakeTempFolder(L"section");
        std::vector<std::string> traced;
        bool after = false;
        {
            TraceCapture trace(folder);
            std::wostringstream out;
            RunRecord broken;
            EXPECT_NO_THROW(broken = DiagReport::RunSection(L"Broken", [&] {
                out << L"before";
                c.fail();
                out << L"after";
            }));
            EXPECT_EQ(L"before", out.str());
            EXPECT_EQ(L"Broken", broken.Name);
            EXPECT_EQ(c.result, broken.Result);
            const RunRecord next = DiagReport::RunSection(L"Next", [&] { after = true; });
            EXPECT_EQ(L"ok", next.Result);
            traced = trace.Lines();
        }
        EXPECT_TRUE(after) << "the next section did not run";
        bool named = false;
        for (const std::string& line : traced)
            named = named || (line.find("[DiagReport::LogSysInfo] Broken: ") != std::string::npos &&
                              line.find(c.traced) != std::string::npos);
        EXPECT_TRUE(named) << "no trace line naming the section and its failure";
        DeleteTree(folder);
    }
}

// A section whose wait on something outside passed its limit is told as such, whatever it
// wrote; so is its time.
TEST(ReportSection, SectionCutShortByItsLimitIsTimedOut) {
    const RunRecord record = DiagReport::RunSection(L"Slow", [] {
        CvBase::RunTimed(200, L"test", L"slow", [] { Sleep(10000); });
    });
    EXPECT_EQ(L"timed out", record.Result);
    EXPECT_GE(record.Seconds, 0.15);
    EXPECT_LT(record.Seconds, 5.0) << "the section waited for the abandoned work";
}

// The policy library faults in CvExportPolicy (its stand-in's switch). The fault ends the policy
// section only: the report is written with the header and the section's title naming the fault's
// code in lower case, the trace names the dump, and the dump lies in the temporary folder.
TEST(ReportFile, FaultInsideThePolicyLibraryEndsItsSectionOnly) {
    std::wostringstream header;
    DiagReport::LogHeader(header);
    PolicyFaultOff();
    {
        SavedKey studio(StudioKey);
        studio.SetDword(L"StandInPolicyFault", 2);
        SavedKey policy(PolicyKey);
        policy.SetDword(L"PasswordMinimumLength", 12);
        const std::wstring folder = MakeTempFolder(L"report");
        std::vector<std::string> traced;
        {
            TraceCapture trace(folder);
            DiagReport report;
            report.WorkFolder = folder;
            EXPECT_NO_THROW(report.LogSysInfo(L"CvSysInfo.log"));
            traced = trace.Lines();
        }
        const std::string bytes = ReadBytes(folder + L"\\CvSysInfo.log");
        const std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
        EXPECT_EQ(0u, text.find(header.str()));
        EXPECT_NE(std::wstring::npos, text.find(L"\n" + Rule + L"\nProduct policy - e6060005\n" + Rule + L"\n"));
        EXPECT_FALSE(FileExists(folder + L"\\CvPolicy.inf"));

        const std::string marker = "MiniDumpFile: ";
        std::string dump;
        for (const std::string& line : traced)
            if (line.find(marker) != std::string::npos) dump = line.substr(line.find(marker) + marker.size());
        ASSERT_FALSE(dump.empty()) << "no MiniDumpFile in the trace";
        const std::wstring dumpPath(dump.begin(), dump.end());
        EXPECT_EQ(0u, dumpPath.find(TempFolder()));
        EXPECT_EQ("MDMP", ReadBytes(dumpPath).substr(0, 4));
        DeleteFileW(dumpPath.c_str());
        DeleteTree(folder);
    }
}

}  // namespace
