// Where the product keeps its logs, read from its registry settings, and the
// export of its policy into the report.
#include "ProductPaths.h"

#include <gtest/gtest.h>

#include <sstream>

#include "DiagReport.h"
#include "collector_util.h"
#include "test_util.h"

namespace {

const wchar_t TestKey[] = L"SOFTWARE\\Meridyne\\Corvane Studio\\test_productpaths";
const wchar_t AntivirusKey[] = L"SOFTWARE\\Meridyne\\Corvane Studio\\Client\\Antivirus Protection";
const wchar_t AntimalwareKey[] = L"SOFTWARE\\Meridyne\\Corvane Studio\\Client\\Anti-Malware Protection";
const wchar_t NetworkKey[] = L"SOFTWARE\\Meridyne\\Corvane Studio\\Client\\Network Protection";
const wchar_t AuthServerKey[] = L"SOFTWARE\\Meridyne\\Corvane Studio\\Server\\Authentication Server";
const wchar_t PolicyKey[] = L"SOFTWARE\\Meridyne\\Corvane Studio\\Policy";

// A temporary folder of the test, deleted with its contents at the end.
class ProductPathsTest : public ::testing::Test {
protected:
    void SetUp() override {
        PolicyFaultOff();
        m_folder = MakeTempFolder(L"productpaths");
    }
    void TearDown() override { DeleteTree(m_folder); }

    std::wstring m_folder;
};

// ---------------------------------------------------------------------------
// Registry_GetParamStringValue_HKLM

TEST_F(ProductPathsTest, MissingKeyClearsEveryResult) {
    SavedKey key(TestKey);
    key.Remove();
    ValueRequest request = {{L"LogsDir", L"old"}, {L"ConfigsDir", L"old"}};
    std::vector<std::string> lines;
    {
        TraceCapture trace(m_folder);
        EXPECT_FALSE(Registry_GetParamStringValue_HKLM(TestKey, request, false));
        lines = trace.Lines();
    }
    EXPECT_EQ(L"", request[0].second);
    EXPECT_EQ(L"", request[1].second);
    const std::vector<std::string> expected = {"W> [Registry_GetParamStringValue_HKLM] CRegistryKey::open( \"" +
                                               Narrow(TestKey) + "\" ), 0x00000002"};
    EXPECT_EQ(expected, lines);
}

TEST_F(ProductPathsTest, PresentKeyReadsStringsInRequestOrder) {
    SavedKey key(TestKey);
    key.Remove();
    key.SetString(L"Plain", L"C:\\Plain");
    key.SetString(L"Expandable", L"%SystemDrive%\\Logs", REG_EXPAND_SZ);
    key.SetString(L"Empty", L"");
    key.SetDword(L"LogsDir", 7);
    key.Set(L"TwoParts", REG_SZ, L"first\0second", 13 * sizeof(wchar_t));
    struct Case {
        const wchar_t* name;
        const wchar_t* expected;
    } cases[] = {
        {L"Plain", L"C:\\Plain"},
        {L"Expandable", L"%SystemDrive%\\Logs"},  // as stored, not expanded
        {L"Empty", L""},
        {L"LogsDir", L""},  // a number is no text
        {L"TwoParts", L"first"},  // cut at the first zero
        {L"Missing", L""},
    };
    ValueRequest request;
    for (const Case& c : cases) request.push_back({c.name, L"old"});
    std::vector<std::string> lines;
    {
        TraceCapture trace(m_folder);
        EXPECT_TRUE(Registry_GetParamStringValue_HKLM(TestKey, request, false));
        lines = trace.Lines();
    }
    ASSERT_EQ(std::size(cases), request.size());
    for (size_t i = 0; i < request.size(); ++i) {
        EXPECT_EQ(cases[i].name, request[i].first);
        EXPECT_EQ(cases[i].expected, request[i].second) << Narrow(cases[i].name);
    }
    // Only the missing value is traced; a value of another type is not.
    const std::vector<std::string> expected = {
        "[Registry_GetParamStringValue_HKLM] CRegistryKey::open( \"" + Narrow(TestKey) + "\" ), ok",
        "W> [CvBase::CRegistryKey::get] CRegistryKey::get( \"Missing\" ), 0x00000002",
    };
    EXPECT_EQ(expected, lines);
}

// ---------------------------------------------------------------------------
// Module folders: the registry's 32-bit view only

TEST(ModulePaths, ReadFromThe32BitViewOnly) {
    struct Case {
        const wchar_t* key;
        std::wstring (*get)(std::wstring&);
    } cases[] = {
        {AntivirusKey, GetPath_Logs_Antivirus},
        {AntimalwareKey, GetPath_Logs_Antimalware},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.key));
        SavedKey native(c.key, KEY_WOW64_64KEY), wow(c.key, KEY_WOW64_32KEY);
        native.Remove();
        wow.Remove();
        native.SetString(L"LogsDir", L"C:\\Native\\Logs");
        native.SetString(L"ConfigsDir", L"C:\\Native\\Configs");

        std::wstring configs = L"old";
        EXPECT_EQ(L"", c.get(configs)) << "a value of the 64-bit view only is not seen";
        EXPECT_EQ(L"", configs);

        wow.SetString(L"LogsDir", L"C:\\Wow\\Logs");
        wow.SetString(L"ConfigsDir", L"C:\\Wow\\Configs");
        EXPECT_EQ(L"C:\\Wow\\Logs", c.get(configs));
        EXPECT_EQ(L"C:\\Wow\\Configs", configs);
        EXPECT_EQ(L"C:\\Wow\\Logs", GetPath_Logs_Module(c.key, nullptr));
    }
}

// ---------------------------------------------------------------------------
// Network protection and authentication server

TEST(NetworkProtectionPaths, LogsAndInstallPathFromBothKeys) {
    struct Keys {
        const wchar_t* dataPath;  // null: no key
        const wchar_t* installPath;
    };
    struct Case {
        const char* name;
        Keys network, authServer;
        bool askAuthServer;
        const wchar_t* networkLogs;
        const wchar_t* authServerLogs;
        const wchar_t* installPath;
    } cases[] = {
        {"both keys", {L"C:\\Net", L"C:\\Net Bin"}, {L"C:\\Auth", L"C:\\Auth Bin"}, true, L"C:\\Net\\logs",
         L"C:\\Auth\\logs", L"C:\\Auth Bin"},
        {"trailing backslashes", {L"C:\\Net\\", L"C:\\Net Bin"}, {L"C:\\Auth\\", L"C:\\Auth Bin"}, true,
         L"C:\\Net\\logs", L"C:\\Auth\\logs", L"C:\\Auth Bin"},
        {"no authentication server", {L"C:\\Net\\", L"C:\\Net Bin"}, {nullptr, nullptr}, true, L"C:\\Net\\logs", L"",
         L""},
        {"authentication server not asked", {L"C:\\Net", L"C:\\Net Bin"}, {L"C:\\Auth", L"C:\\Auth Bin"}, false,
         L"C:\\Net\\logs", L"untouched", L"C:\\Net Bin"},
        {"empty data paths", {L"", L"C:\\Net Bin"}, {L"", L"C:\\Auth Bin"}, true, L"", L"", L"C:\\Auth Bin"},
        {"no network protection", {nullptr, nullptr}, {L"C:\\Auth", L"C:\\Auth Bin"}, true, L"", L"C:\\Auth\\logs",
         L"C:\\Auth Bin"},
        {"neither", {nullptr, nullptr}, {nullptr, nullptr}, true, L"", L"", L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SavedKey network(NetworkKey), authServer(AuthServerKey);
        for (auto [key, keys] : {std::pair{&network, c.network}, std::pair{&authServer, c.authServer}}) {
            key->Remove();
            if (!keys.dataPath) continue;
            key->SetString(L"ProductDataPath", keys.dataPath);
            key->SetString(L"ProductInstallPath", keys.installPath);
        }
        std::wstring networkLogs = L"untouched", authServerLogs = L"untouched";
        EXPECT_EQ(c.installPath, GetPath_NetworkProtection(networkLogs, c.askAuthServer ? &authServerLogs : nullptr));
        EXPECT_EQ(c.networkLogs, networkLogs);
        EXPECT_EQ(c.authServerLogs, authServerLogs);
    }
}

// ---------------------------------------------------------------------------
// Common log folder, each lookup in a fresh process

TEST(CommonLogsPath, TracePathOrTheSystemDriveLogsFolder) {
    enum Setting { NoKey, NoValue, Text, Number };
    struct Case {
        const char* name;
        Setting setting;
        const wchar_t* tracePath;
        const wchar_t* systemDrive;
        std::string expected;
    } cases[] = {
        {"TracePath", Text, L"D:\\Product Logs", L"C:", "<D:\\Product Logs>\r\n"},
        {"no trace key", NoKey, nullptr, L"C:", "<C:\\logs>\r\n"},
        {"another drive", NoKey, nullptr, L"E:", "<E:\\logs>\r\n"},
        {"trace key without TracePath", NoValue, nullptr, L"C:", "<C:\\logs>\r\n"},
        {"system drive longer than a drive letter", NoKey, nullptr, L"C:\\Data", "<C:\\Data\\logs>\r\n"},
        {"empty TracePath", Text, L"", L"C:", "<>\r\n"},
        {"TracePath a number", Number, nullptr, L"C:", "<>\r\n"},
    };
    const std::wstring probe = L"\"" + ExeFolder() + L"\\collector_probe.exe\"";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SavedKey trace(TraceKeyPath);
        trace.Remove();
        if (c.setting == NoValue) trace.SetDword(L"EnableMask", 0);
        if (c.setting == Text) trace.SetString(L"TracePath", c.tracePath);
        if (c.setting == Number) trace.SetDword(L"TracePath", 1);
        DWORD exitCode = 1;
        EXPECT_EQ(c.expected, RunAndCapture(probe + L" \"" + c.systemDrive + L"\"", &exitCode));
        EXPECT_EQ(0u, exitCode);
    }
}

// ---------------------------------------------------------------------------
// Product policy

TEST_F(ProductPathsTest, PolicyExportedIntoTheWorkFolder) {
    SavedKey policy(PolicyKey);
    policy.Remove();
    policy.SetDword(L"PasswordMinimumLength", 12);
    policy.SetString(L"AuditMode", L"full");
    DiagReport report;
    report.WorkFolder = m_folder;
    std::wostringstream out;
    std::vector<std::string> lines;
    {
        TraceCapture trace(m_folder);
        report.LogInfo_CvPolicy(out, L"CvPolicy.inf");
        lines = trace.Lines();
    }
    const std::wstring rule(180, L'-');
    EXPECT_EQ(L"\n" + rule + L"\nProduct policy - see file \"CvPolicy.inf\"\n" + rule + L"\n", out.str());
    const std::wstring target = m_folder + L"\\CvPolicy.inf";
    const std::string bytes = ReadBytes(target);
    EXPECT_NE("<missing>", bytes);
    EXPECT_FALSE(bytes.empty());
    ASSERT_EQ(1u, report.PackList.size());
    EXPECT_EQ(target, report.PackList[0].Source);
    EXPECT_EQ(L"", report.PackList[0].Folder);
    EXPECT_TRUE(report.PackList[0].DeleteAfterPacking);
    const std::vector<std::string> expected = {"[DiagReport::LogInfo_CvPolicy] CvPolicy: \"" + Narrow(target) + "\""};
    EXPECT_EQ(expected, lines);
}

TEST_F(ProductPathsTest, PolicyFailureEndsUpInTheTitle) {
    struct Case {
        const char* name;
        bool policyKey;
        bool workFolder;
        const wchar_t* title;
        std::string failureLine;
    } cases[] = {
        {"policy key missing", false, true, L"Product policy - 00000002",
         "W> [Corvane::Policy::Policy] CvLoadPolicy(), 0x00000002"},
        {"work folder missing", true, false, L"Product policy - 00000003",
         "W> [Corvane::Policy::Export] CvExportPolicy(), 0x00000003"},
    };
    const std::wstring rule(180, L'-');
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SavedKey policy(PolicyKey);
        policy.Remove();
        if (c.policyKey) policy.SetDword(L"PasswordMinimumLength", 12);
        DiagReport report;
        report.WorkFolder = c.workFolder ? m_folder : m_folder + L"\\missing";
        std::wostringstream out;
        std::vector<std::string> lines;
        {
            TraceCapture trace(m_folder);
            report.LogInfo_CvPolicy(out, L"CvPolicy.inf");
            lines = trace.Lines();
        }
        EXPECT_EQ(L"\n" + rule + L"\n" + c.title + L"\n" + rule + L"\n", out.str());
        EXPECT_FALSE(FileExists(report.WorkFolder + L"\\CvPolicy.inf"));
        EXPECT_TRUE(report.PackList.empty());
        const std::vector<std::string> expected = {
            "[DiagReport::LogInfo_CvPolicy] CvPolicy: \"" + Narrow(report.WorkFolder) + "\\CvPolicy.inf\"",
            c.failureLine};
        EXPECT_EQ(expected, lines);
    }
}

}  // namespace
