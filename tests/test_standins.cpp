// The stand-ins of the product's components, called the way the collector
// calls them: the policy library's three calls and the rules tool's "/s" run.
#include "CvGpe.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>
#include "test_util.h"

namespace {

const wchar_t kPolicyKey[] = L"SOFTWARE\\Meridyne\\Corvane Studio\\Policy";
const wchar_t kNetworkProtectionKey[] = L"SOFTWARE\\Meridyne\\Corvane Studio\\Client\\Network Protection";
const wchar_t kRulesKey[] = L"SOFTWARE\\Meridyne\\Corvane Studio\\Client\\Network Protection\\Rules";

bool KeyExists(const std::wstring& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

// A registry key under HKLM that a test changes: its values (and whether it
// and its parents existed) are restored when the test ends, so that a prefix
// with the product installed keeps its settings.
class ScopedKey {
public:
    explicit ScopedKey(std::wstring path) : path_(std::move(path)) {
        existingAncestor_ = path_;
        while (!existingAncestor_.empty() && !KeyExists(existingAncestor_)) {
            existingAncestor_ = Parent(existingAncestor_);
        }
        if (existingAncestor_ == path_) {
            Save();
        }
    }
    ScopedKey(const ScopedKey&) = delete;
    ScopedKey& operator=(const ScopedKey&) = delete;

    ~ScopedKey() {
        if (existingAncestor_ == path_) {
            Remove(false);
            HKEY key = nullptr;
            if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path_.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                                nullptr, &key, nullptr) == ERROR_SUCCESS) {
                for (const Saved& value : saved_) {
                    RegSetValueExW(key, value.name.c_str(), 0, value.type, value.data.data(),
                                   static_cast<DWORD>(value.data.size()));
                }
                RegCloseKey(key);
            }
        } else {
            RegDeleteTreeW(HKEY_LOCAL_MACHINE, path_.c_str());
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, path_.c_str());
            for (std::wstring p = Parent(path_); p.size() > existingAncestor_.size(); p = Parent(p)) {
                RegDeleteKeyW(HKEY_LOCAL_MACHINE, p.c_str());
            }
        }
    }

    // Removes the key with everything under it, or (subkeys false) only its values.
    void Remove(bool subkeys = true) {
        if (subkeys) {
            RegDeleteTreeW(HKEY_LOCAL_MACHINE, path_.c_str());
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, path_.c_str());
            return;
        }
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path_.c_str(), 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
            wchar_t name[256];
            DWORD length = 256;
            while (RegEnumValueW(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
                RegDeleteValueW(key, name);
                length = 256;
            }
            RegCloseKey(key);
        }
    }

    void Set(const std::wstring& name, DWORD type, const void* data, size_t size) {
        ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_LOCAL_MACHINE, path_.c_str(), name.c_str(), type,
                                                 data, static_cast<DWORD>(size)));
    }
    void SetString(const std::wstring& name, const std::wstring& text) {
        Set(name, REG_SZ, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
    }
    void SetDword(const std::wstring& name, DWORD number) { Set(name, REG_DWORD, &number, sizeof number); }

private:
    struct Saved {
        std::wstring name;
        DWORD type;
        std::vector<BYTE> data;
    };

    static std::wstring Parent(const std::wstring& path) {
        const size_t slash = path.rfind(L'\\');
        return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
    }

    void Save() {
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, path_.c_str(), 0, KEY_READ, &key));
        for (DWORD index = 0;; ++index) {
            wchar_t name[256];
            DWORD length = 256;
            BYTE data[4096];
            DWORD size = sizeof data;
            DWORD type = 0;
            if (RegEnumValueW(key, index, name, &length, nullptr, &type, data, &size) != ERROR_SUCCESS) {
                break;
            }
            saved_.push_back({std::wstring(name, length), type, std::vector<BYTE>(data, data + size)});
        }
        RegCloseKey(key);
    }

    std::wstring path_;
    std::wstring existingAncestor_;
    std::vector<Saved> saved_;
};

std::wstring TempFile(const wchar_t* name) { return TempFolder() + name; }

// Waits until nobody holds the file open without sharing. Under Wine a child
// started with CREATE_NO_WINDOW gets a console host that inherits the child's
// handles and keeps them open for a moment after the child has ended.
void WaitUntilReleased(const std::wstring& path) {
    for (int attempt = 0; attempt < 200; ++attempt) {
        HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
            return;
        }
        if (GetLastError() != ERROR_SHARING_VIOLATION) {
            return;
        }
        Sleep(50);
    }
}

std::string ReadBytes(const std::wstring& path) {
    WaitUntilReleased(path);
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The lines of a UTF-16 text with a byte-order mark, split at CRLF.
std::vector<std::wstring> Utf16Lines(const std::string& bytes) {
    std::vector<std::wstring> lines;
    if (bytes.size() < 2 || bytes[0] != '\xFF' || bytes[1] != '\xFE' || bytes.size() % 2 != 0) {
        ADD_FAILURE() << "not UTF-16 LE with a byte-order mark";
        return lines;
    }
    std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
    size_t start = 0;
    for (size_t end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2) {
        lines.push_back(text.substr(start, end - start));
    }
    EXPECT_EQ(text.size(), start) << "text does not end with a line end";
    return lines;
}

// ---------------------------------------------------------------------------
// CvGpe.dll

class PolicyLibrary : public ::testing::Test {
protected:
    // The fault switch off, as a test cut short may have left it.
    void SetUp() override {
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Meridyne\\Corvane Studio", L"StandInPolicyFault");
    }
    void TearDown() override { DeleteFileW(target_.c_str()); }

    ScopedKey policy_{kPolicyKey};
    std::wstring target_ = TempFile(L"CvPolicyTest.inf");
};

TEST_F(PolicyLibrary, LoadFailsWithoutPolicyKey) {
    policy_.Remove();
    unsigned long long handle = 0;
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), CvLoadPolicy(0, &handle));
    EXPECT_EQ(0u, handle);
}

TEST_F(PolicyLibrary, ExportWritesEverySettingAsInf) {
    policy_.Remove();
    policy_.SetDword(L"PasswordMinLength", 12);
    policy_.SetString(L"UpdateServer", L"https://update.corvane.example");
    policy_.Set(L"Ignored", REG_BINARY, "\x01\x02", 2);
    policy_.SetString(L"Owner", L"Отдел защиты");
    // An existing file is replaced, not appended to or partly overwritten.
    std::ofstream(std::filesystem::path(target_), std::ios::binary) << std::string(4096, 'x');

    unsigned long long handle = 0;
    ASSERT_EQ(0u, CvLoadPolicy(0, &handle));
    ASSERT_NE(0u, handle);
    EXPECT_EQ(0u, CvExportPolicy(handle, target_.c_str()));
    EXPECT_EQ(0u, CvFreePolicy(handle));

    const std::vector<std::wstring> lines = Utf16Lines(ReadBytes(target_));
    const std::vector<std::wstring> header = {L"[Unicode]", L"Unicode=yes", L"[Version]",
                                              L"signature=\"$CHICAGO$\"", L"Revision=1", L"[Policy]"};
    ASSERT_GE(lines.size(), header.size());
    EXPECT_EQ(header, std::vector<std::wstring>(lines.begin(), lines.begin() + header.size()));
    std::vector<std::wstring> settings(lines.begin() + header.size(), lines.end());
    std::sort(settings.begin(), settings.end());
    const std::vector<std::wstring> expected = {L"Owner=Отдел защиты", L"PasswordMinLength=12",
                                                L"UpdateServer=https://update.corvane.example"};
    EXPECT_EQ(expected, settings);
}

TEST_F(PolicyLibrary, LoadedPolicyIsASnapshot) {
    policy_.Remove();
    policy_.SetDword(L"ScreenLockMinutes", 5);
    unsigned long long handle = 0;
    ASSERT_EQ(0u, CvLoadPolicy(0, &handle));
    policy_.SetDword(L"ScreenLockMinutes", 30);
    ASSERT_EQ(0u, CvExportPolicy(handle, target_.c_str()));
    EXPECT_EQ(0u, CvFreePolicy(handle));
    const std::vector<std::wstring> lines = Utf16Lines(ReadBytes(target_));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(L"ScreenLockMinutes=5", lines.back());
}

TEST_F(PolicyLibrary, ExportIntoMissingFolderFailsAndSetsLastError) {
    policy_.SetDword(L"ScreenLockMinutes", 5);
    unsigned long long handle = 0;
    ASSERT_EQ(0u, CvLoadPolicy(0, &handle));
    const std::wstring missing = TempFile(L"NoSuchFolder-7f3a\\CvPolicy.inf");
    SetLastError(0);
    const DWORD status = CvExportPolicy(handle, missing.c_str());
    EXPECT_NE(0u, status);
    EXPECT_EQ(status, GetLastError());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(missing.c_str()));
    EXPECT_EQ(0u, CvFreePolicy(handle));
}

TEST_F(PolicyLibrary, ReleasedOrUnknownHandleIsRefused) {
    policy_.SetDword(L"ScreenLockMinutes", 5);
    unsigned long long handle = 0;
    ASSERT_EQ(0u, CvLoadPolicy(0, &handle));
    ASSERT_EQ(0u, CvFreePolicy(handle));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), CvFreePolicy(handle));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), CvExportPolicy(handle, target_.c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), CvFreePolicy(0));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(target_.c_str()));
}

// ---------------------------------------------------------------------------
// MdAuthModCfg.exe

std::wstring ToolPath() {
    wchar_t self[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self, length);
    return path.substr(0, path.rfind(L'\\') + 1) + L"MdAuthModCfg.exe";
}

// A run of the tool with standard output redirected into a file, started the
// way the collector starts it.
class ToolRun {
public:
    ToolRun(const std::wstring& arguments, const std::wstring& output) {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        file_ = CreateFileW(output.c_str(), GENERIC_WRITE, 0, &inherit, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_NE(INVALID_HANDLE_VALUE, file_);
        std::wstring command = L"\"" + ToolPath() + L"\" " + arguments;
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = file_;
        started_ = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                  nullptr, nullptr, &startup, &process_) != FALSE;
        EXPECT_TRUE(started_) << "CreateProcessW: " << GetLastError();
    }
    ToolRun(const ToolRun&) = delete;
    ToolRun& operator=(const ToolRun&) = delete;
    ~ToolRun() {
        if (started_) {
            if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) {
                TerminateProcess(process_.hProcess, 1);
                WaitForSingleObject(process_.hProcess, INFINITE);
            }
            CloseHandle(process_.hThread);
            CloseHandle(process_.hProcess);
        }
        if (file_ != INVALID_HANDLE_VALUE) {
            CloseHandle(file_);
        }
    }

    DWORD Wait(DWORD milliseconds) const {
        return started_ ? WaitForSingleObject(process_.hProcess, milliseconds) : WAIT_FAILED;
    }
    DWORD ExitCode() const {
        DWORD code = STILL_ACTIVE;
        GetExitCodeProcess(process_.hProcess, &code);
        return code;
    }

private:
    HANDLE file_ = INVALID_HANDLE_VALUE;
    PROCESS_INFORMATION process_{};
    bool started_ = false;
};

class RulesTool : public ::testing::Test {
protected:
    void SetUp() override {
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kNetworkProtectionKey, L"StandInHangSeconds");
        rules_.Remove();
    }
    void TearDown() override {
        WaitUntilReleased(output_);
        DeleteFileW(output_.c_str());
    }

    // The tool's whole output, after it ended by itself with exit code 0.
    std::string RunDump() {
        {
            ToolRun run(L"/s", output_);
            EXPECT_EQ(WAIT_OBJECT_0, run.Wait(60000));
            EXPECT_EQ(0u, run.ExitCode());
        }
        return ReadBytes(output_);
    }

    ScopedKey networkProtection_{kNetworkProtectionKey};
    ScopedKey rules_{kRulesKey};
    std::wstring output_ = TempFile(L"NetworkProtectionTest.rules");
};

struct Rule {
    const wchar_t* name;
    const wchar_t* definition;
};

struct RulesCase {
    const char* label;
    bool keyPresent;
    std::vector<Rule> rules;
    std::vector<std::string> lines;  // after the header line, in any order
};

TEST_F(RulesTool, WritesTheRulesToStandardOutput) {
    const RulesCase cases[] = {
        {"no rules key", false, {}, {}},
        {"empty rules key", true, {}, {}},
        {"two rules",
         true,
         {{L"Allow DNS", L"allow udp out 53"}, {L"Block SMB", L"deny tcp in 445"}},
         {"Allow DNS=allow udp out 53", "Block SMB=deny tcp in 445"}},
        {"text beyond ASCII is UTF-8",
         true,
         {{L"Сервер", L"allow tcp out 443 Ü"}},
         {"\xD0\xA1\xD0\xB5\xD1\x80\xD0\xB2\xD0\xB5\xD1\x80=allow tcp out 443 \xC3\x9C"}},
    };
    for (const RulesCase& c : cases) {
        SCOPED_TRACE(c.label);
        rules_.Remove();
        for (const Rule& rule : c.rules) {
            rules_.SetString(rule.name, rule.definition);
        }
        if (c.keyPresent && c.rules.empty()) {
            HKEY key = nullptr;
            ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRulesKey, 0, nullptr, 0,
                                                     KEY_READ, nullptr, &key, nullptr));
            RegCloseKey(key);
        }
        const std::string text = RunDump();
        const std::string header = "[Network Protection Rules]\r\n";
        ASSERT_EQ(header, text.substr(0, header.size()));
        std::vector<std::string> lines;
        size_t start = header.size();
        for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
            lines.push_back(text.substr(start, end - start));
        }
        EXPECT_EQ(text.size(), start);
        std::sort(lines.begin(), lines.end());
        EXPECT_EQ(c.lines, lines);
    }
}

TEST_F(RulesTool, WithoutSwitchWritesNothingAndFails) {
    for (const wchar_t* arguments : {L"", L"/x", L"/s /s"}) {
        SCOPED_TRACE(testing::Message() << "arguments: " << arguments);
        {
            ToolRun run(arguments, output_);
            ASSERT_EQ(WAIT_OBJECT_0, run.Wait(60000));
            EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), run.ExitCode());
        }
        EXPECT_EQ("", ReadBytes(output_));
    }
}

TEST_F(RulesTool, SwitchIsCaseInsensitive) {
    rules_.SetString(L"Allow DNS", L"allow udp out 53");
    {
        ToolRun run(L"/S", output_);
        ASSERT_EQ(WAIT_OBJECT_0, run.Wait(60000));
        EXPECT_EQ(0u, run.ExitCode());
    }
    EXPECT_EQ("[Network Protection Rules]\r\nAllow DNS=allow udp out 53\r\n", ReadBytes(output_));
}

TEST_F(RulesTool, HangSettingKeepsTheToolRunning) {
    networkProtection_.SetDword(L"StandInHangSeconds", 600);
    ToolRun run(L"/s", output_);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), run.Wait(3000));
    EXPECT_EQ(static_cast<DWORD>(STILL_ACTIVE), run.ExitCode());
}

}  // namespace
