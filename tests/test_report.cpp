// The system report file: its header, its section title blocks, its encoding
// and its packing list entry.
#include <gtest/gtest.h>

#include <algorithm>
#include <new>
#include <sstream>

#include "DiagReport.h"
#include "HardwareCalls.h"
#include "collector_util.h"
#include "test_util.h"

namespace {

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

// A failure of any kind inside a section ends the sections; the text gathered
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
    EXPECT_EQ(Narrow(header.str()), Narrow(std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2)));
    EXPECT_TRUE(std::any_of(trace.begin(), trace.end(), [](const std::string& line) {
        return line.find("[DiagReport::LogSysInfo] exception: std::bad_alloc") != std::string::npos;
    })) << "no trace line";
    DeleteTree(folder);
}

}  // namespace
