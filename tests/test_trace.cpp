#include "CvTrace.h"
#include "TraceFile.h"
#include "TraceText.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <cstdio>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"

using namespace CvBase;

namespace {

const wchar_t TraceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\cvcc0\\Trace";
const wchar_t DriverKey[] = L"SYSTEM\\CurrentControlSet\\Services\\cvcc0";
const wchar_t SavedTraceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\cvcc0\\Trace.saved-by-test_trace";

std::string Separator() {
    return "\r\n" + std::string(68, '*') + "\r\n\r\n";
}

std::string Hex(DWORD value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%lX", value);
    return buffer;
}

// ---------------------------------------------------------------------------------------
// Windows helpers

bool KeyExists(const wchar_t* path) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

void CopyKey(const wchar_t* from, const wchar_t* to) {
    HKEY source, target;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, from, 0, KEY_READ, &source));
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, to, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                             &target, nullptr));
    EXPECT_EQ(ERROR_SUCCESS, RegCopyTreeW(source, nullptr, target));
    RegCloseKey(source);
    RegCloseKey(target);
}

void DeleteKey(const wchar_t* path) {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, path);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, path);
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    if (start < text.size()) lines.push_back(text.substr(start) + "<unterminated>");
    return lines;
}

// Sets an environment variable for the scope and puts the old value back after it.
class EnvironmentValue {
public:
    EnvironmentValue(const wchar_t* name, const wchar_t* value) : m_name(name) {
        wchar_t buffer[32768];
        DWORD length = GetEnvironmentVariableW(name, buffer, 32768);
        m_had = length > 0 && length < 32768;
        if (m_had) m_old.assign(buffer, length);
        SetEnvironmentVariableW(name, value);
    }
    ~EnvironmentValue() { SetEnvironmentVariableW(m_name.c_str(), m_had ? m_old.c_str() : nullptr); }

private:
    std::wstring m_name;
    std::wstring m_old;
    bool m_had = false;
};

// Collects what the process sends to the debugger output.
class DebugOutput {
public:
    DebugOutput() {
        std::lock_guard<std::mutex> lock(s_lock);
        s_texts.clear();
        m_handler = AddVectoredExceptionHandler(1, Handler);
    }
    ~DebugOutput() { RemoveVectoredExceptionHandler(m_handler); }
    std::vector<std::string> Texts() const {
        std::lock_guard<std::mutex> lock(s_lock);
        return s_texts;
    }

private:
    static LONG CALLBACK Handler(EXCEPTION_POINTERS* pointers) {
        const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
        if (record->ExceptionCode != DBG_PRINTEXCEPTION_C || record->NumberParameters < 2)
            return EXCEPTION_CONTINUE_SEARCH;
        std::lock_guard<std::mutex> lock(s_lock);
        s_texts.emplace_back(reinterpret_cast<const char*>(record->ExceptionInformation[1]));
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    static std::mutex s_lock;
    static std::vector<std::string> s_texts;
    void* m_handler;
};
std::mutex DebugOutput::s_lock;
std::vector<std::string> DebugOutput::s_texts;

// Moves a trace key that exists before the tests aside and puts it back afterwards.
class RegistryGuard : public ::testing::Environment {
public:
    void SetUp() override {
        m_hadDriverKey = KeyExists(DriverKey);
        m_hadTraceKey = KeyExists(TraceKey);
        if (m_hadTraceKey) {
            CopyKey(TraceKey, SavedTraceKey);
            DeleteKey(TraceKey);
        }
    }
    void TearDown() override {
        DeleteKey(TraceKey);
        if (m_hadTraceKey) {
            CopyKey(SavedTraceKey, TraceKey);
            DeleteKey(SavedTraceKey);
        }
        if (!m_hadDriverKey) DeleteKey(DriverKey);
    }

private:
    bool m_hadDriverKey = false;
    bool m_hadTraceKey = false;
};
const auto* const registryGuard = ::testing::AddGlobalTestEnvironment(new RegistryGuard);

// ---------------------------------------------------------------------------------------
// Fixture: an empty trace key, a trace name and a scratch folder of the test's own.

class TraceTest : public ::testing::Test {
protected:
    void SetUp() override {
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string("t_") + info->name();
        m_name.clear();
        for (char ch : name) {
            if (m_name.size() == 45) break;
            m_name += iswalnum(ch) || ch == '_' ? wchar_t(ch) : L'_';
        }
        m_root = TempFolder() + L"cvtrace_test";
        CreateDirectoryW(m_root.c_str(), nullptr);
        m_folder = m_root + L"\\" + m_name;
        DeleteTree(m_folder);
        ASSERT_TRUE(CreateDirectoryW(m_folder.c_str(), nullptr));
        DeleteKey(TraceKey);
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, TraceKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                                                 nullptr, &m_key, nullptr));
    }

    void TearDown() override {
        for (HKEY key : m_subkeys) RegCloseKey(key);
        if (m_key) RegCloseKey(m_key);
        DeleteKey(TraceKey);
        DeleteTree(m_folder);
        RemoveDirectoryW(m_root.c_str());
    }

    HKEY Subkey(const std::wstring& traceName) {
        HKEY key;
        EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExW(m_key, traceName.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                                 &key, nullptr));
        m_subkeys.push_back(key);
        return key;
    }
    HKEY Subkey() { return Subkey(m_name); }

    static void SetRaw(HKEY key, const wchar_t* name, DWORD type, const void* data, DWORD size) {
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size));
    }
    static void SetNumber(HKEY key, const wchar_t* name, DWORD value) {
        SetRaw(key, name, REG_DWORD, &value, sizeof value);
    }
    static void SetText(HKEY key, const wchar_t* name, const std::wstring& value) {
        SetRaw(key, name, REG_SZ, value.c_str(), DWORD((value.size() + 1) * sizeof(wchar_t)));
    }
    void SetNumber(const wchar_t* name, DWORD value) { SetNumber(m_key, name, value); }
    void SetText(const wchar_t* name, const std::wstring& value) { SetText(m_key, name, value); }

    // Masks in the key and the trace folder as TracePath.
    void Configure(DWORD enableMask, DWORD paramsMask) {
        SetNumber(L"EnableMask", enableMask);
        SetNumber(L"ParamsMask", paramsMask);
        SetText(L"TracePath", m_folder);
    }

    std::wstring InFolder(const std::wstring& file) const { return m_folder + L"\\" + file; }
    std::wstring PrivateFile() const { return InFolder(m_name + L".log"); }

    std::wstring m_name;
    std::wstring m_root;
    std::wstring m_folder;
    HKEY m_key = nullptr;
    std::vector<HKEY> m_subkeys;
};

}  // namespace

// ---------------------------------------------------------------------------------------
// Texts

TEST(TraceText, FileNameExtensionRules) {
    const struct {
        const wchar_t* stem;
        const wchar_t* file;
    } cases[] = {
        {L"CvDiagReport", L"CvDiagReport.log"}, {L"CvTrace", L"CvTrace.log"}, {L"a.txt", L"a.txt"},
        {L"a.lo", L"a.lo.log"},                 {L"a.", L"a.log"},             {L"a.b.txt", L"a.b.txt"},
        {L"a.txt.", L"a.txt.log"},              {L"a.text", L"a.text.log"},    {L"a.txt.x", L"a.txt.x.log"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.file, TraceText::WithLogExtension(c.stem)) << c.stem;
}

TEST(TraceText, JoinFolderAddsOneBackslash) {
    EXPECT_EQ(L"C:\\logs\\a.log", TraceText::JoinFolder(L"C:\\logs", L"a.log"));
    EXPECT_EQ(L"C:\\logs\\a.log", TraceText::JoinFolder(L"C:\\logs\\", L"a.log"));
    EXPECT_EQ(L"C:\\a.log", TraceText::JoinFolder(L"C:\\", L"a.log"));
}

TEST(TraceText, FoldersOfPath) {
    const struct {
        const wchar_t* path;
        bool ok;
        std::vector<std::wstring> folders;
    } cases[] = {
        {L"D:\\logs\\trace\\CvTrace.log", true, {L"D:\\logs", L"D:\\logs\\trace"}},
        {L"C:\\a/b\\f.log", true, {L"C:\\a", L"C:\\a\\b"}},
        {L"C:\\f.log", true, {}},
        {L"\\\\server\\share\\dir\\f.log", true, {L"\\\\server\\share", L"\\\\server\\share\\dir"}},
        {L"C:\\", false, {}},
        {L"f.log", false, {}},
        {L"C:/a/f.log", false, {}},
        {L"\\\\server", false, {}},
        {L"", false, {}},
    };
    for (const auto& c : cases) {
        std::vector<std::wstring> folders{L"stale"};
        EXPECT_EQ(c.ok, TraceText::FoldersOfPath(c.path, folders)) << c.path;
        if (c.ok) {
            EXPECT_EQ(c.folders, folders) << c.path;
        }
    }
}

TEST(TraceText, SeparatorIs74Bytes) {
    EXPECT_EQ(74u, TraceText::SeparatorLength);
    EXPECT_EQ(Separator(), std::string(TraceText::SeparatorLine, TraceText::SeparatorLength));
}

TEST(TraceText, CodePage1251UsesDefaultCharacterForUnmapped) {
    EXPECT_EQ("A?\xC6\xF4", TraceText::ToCodePage1251(L"A\x4E2D\x0416\x0444"));
    EXPECT_EQ("", TraceText::ToCodePage1251(L""));
}

namespace {

TraceText::LineFields ExampleFields(DWORD paramsMask) {
    TraceText::LineFields f;
    f.paramsMask = paramsMask;
    f.name = "CvDiagReport";
    f.time.wDay = 5;
    f.time.wMonth = 12;
    f.time.wYear = 2017;
    f.time.wHour = 14;
    f.time.wMinute = 3;
    f.time.wSecond = 11;
    f.time.wMilliseconds = 123;
    f.processId = 0x1F4;
    f.threadId = 0xA10;
    f.sessionId = 1;
    return f;
}

}  // namespace

TEST(TraceText, ComposeLine) {
    const std::string message = "[wmain] Setting console mode to UTF-16";
    const struct {
        DWORD params;
        DWORD common;
        DWORD level;
        const char* prefix;
    } cases[] = {
        {0x3C01, 0, 4, "05.12.2017 14:03:11.123[1F4:A10] W> "},
        {0x3C01, 0, 8, "05.12.2017 14:03:11.123[1F4:A10] E> "},
        {0x3C01, 0, 2, "05.12.2017 14:03:11.123[1F4:A10] "},
        {0x3C01, 0, 16, "05.12.2017 14:03:11.123[1F4:A10] "},
        {0x1001, 0, 2, "14:03:11"},
        {0x0401, 0, 2, ""},  // milliseconds only with the time
        {0x2001, 0, 2, "05.12.2017 "},
        {0x8001, 0, 2, "[CvDiagReport] "},
        {0x0001, 1, 2, "[CvDiagReport] "},  // the common file always names the program
        {0x4001, 0, 2, "[00000001] "},
        {0xFC01, 0, 4, "05.12.2017 14:03:11.123[CvDiagReport] [00000001] [1F4:A10] W> "},
        {0x0001, 0, 6, ""},  // a combined level has no prefix
    };
    for (const auto& c : cases) {
        TraceText::LineFields fields = ExampleFields(c.params);
        fields.commonFileFlag = c.common;
        EXPECT_EQ(std::string(c.prefix) + message + "\r\n", TraceText::ComposeLine(fields, c.level, message))
            << std::hex << c.params << " level " << c.level;
    }
}

TEST(TraceText, ComposeLinePadsFields) {
    TraceText::LineFields fields = ExampleFields(0x7C01);
    fields.time = {2024, 1, 0, 2, 3, 4, 5, 7};
    fields.sessionId = 0xFFFFFFFF;
    fields.processId = 0xABCDEF12;
    fields.threadId = 0x3;
    EXPECT_EQ("02.01.2024 03:04:05.007[FFFFFFFF] [ABCDEF12:3] x\r\n", TraceText::ComposeLine(fields, 2, "x"));
}

namespace {

std::vector<unsigned char> Sequence(size_t size) {
    std::vector<unsigned char> data(size);
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<unsigned char>(i);
    return data;
}

}  // namespace

TEST(TraceText, MemoryOf40BytesInTwoRows) {
    std::vector<unsigned char> data = Sequence(40);
    std::wstring expected =
        L"Buffer"
        L"\r\n 00: 00 01 02 03 04 05 06 07 - 08 09 0A 0B 0C 0D 0E 0F - 10 11 12 13 14 15 16 17 - 18 19 1A 1B 1C "
        L"1D 1E 1F"
        L"\r\n 20: 20 21 22 23 24 25 26 27"
        L"\r\n";
    EXPECT_EQ(expected, TraceText::FormatMemory(L"Buffer", data.data(), data.size(), 0));
}

TEST(TraceText, MemoryOf16BitElements) {
    const unsigned short words[] = {0x0102, 0xA0B0, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 0xFFFF, 0x1234};
    // 37 bytes: 18 elements and a left-over byte that is not shown.
    std::vector<unsigned char> data(37, 0xEE);
    std::memcpy(data.data(), words, sizeof words);
    std::wstring expected =
        L"W"
        L"\r\n 00: 0102 A0B0 0002 0003 0004 0005 0006 0007 - 0008 0009 000A 000B 000C 000D 000E 000F"
        L"\r\n 10: FFFF 1234"
        L"\r\n";
    EXPECT_EQ(expected, TraceText::FormatMemory(L"W", data.data(), data.size(), 0x40));
}

TEST(TraceText, MemoryOf32BitElements) {
    const unsigned int dwords[] = {0x12345678, 1, 2, 3, 4, 5, 6, 0xDEADBEEF, 0xCAFE};
    std::wstring expected =
        L"D"
        L"\r\n 00: 12345678 00000001 00000002 00000003 00000004 00000005 00000006 DEADBEEF"
        L"\r\n 08: 0000CAFE"
        L"\r\n";
    EXPECT_EQ(expected, TraceText::FormatMemory(L"D", dwords, sizeof dwords, 0x80));
    EXPECT_EQ(expected, TraceText::FormatMemory(L"D", dwords, sizeof dwords, 0xC0)) << "0x80 wins over 0x40";
    // A whole number of rows gets no final line end.
    EXPECT_EQ(L"D\r\n 00: 12345678 00000001 00000002 00000003 00000004 00000005 00000006 DEADBEEF",
              TraceText::FormatMemory(L"D", dwords, 32, 0x80));
}

TEST(TraceText, MemoryIndexWidthFollowsSize) {
    const struct {
        size_t size;
        DWORD flags;
        const wchar_t* firstRow;
        const wchar_t* secondRow;
    } cases[] = {
        {255, 0, L"\r\n 00:", L"\r\n 20:"},         {256, 0, L"\r\n 0000:", L"\r\n 0020:"},
        {0xFFFF, 0, L"\r\n 0000:", L"\r\n 0020:"},  {0x10000, 0, L"\r\n 00000000:", L"\r\n 00000020:"},
        {511, 0x40, L"\r\n 00:", L"\r\n 10:"},      {512, 0x40, L"\r\n 0000:", L"\r\n 0010:"},
        {0x1FFFF, 0x40, L"\r\n 0000:", L"\r\n 0010:"}, {0x20000, 0x40, L"\r\n 00000000:", L"\r\n 00000010:"},
        {1023, 0x80, L"\r\n 00:", L"\r\n 08:"},     {1024, 0x80, L"\r\n 0000:", L"\r\n 0008:"},
        {0x3FFFF, 0x80, L"\r\n 0000:", L"\r\n 0008:"}, {0x40000, 0x80, L"\r\n 00000000:", L"\r\n 00000008:"},
    };
    for (const auto& c : cases) {
        std::vector<unsigned char> data(c.size);
        std::wstring text = TraceText::FormatMemory(L"T", data.data(), data.size(), c.flags);
        EXPECT_EQ(0u, text.find(std::wstring(L"T") + c.firstRow)) << c.size << " " << c.flags;
        EXPECT_NE(std::wstring::npos, text.find(c.secondRow)) << c.size << " " << c.flags;
    }
}

namespace {

std::vector<BYTE> SidOf(const wchar_t* text) {
    PSID sid = nullptr;
    if (!ConvertStringSidToSidW(text, &sid)) return {};
    std::vector<BYTE> copy(static_cast<BYTE*>(sid), static_cast<BYTE*>(sid) + GetLengthSid(sid));
    LocalFree(sid);
    return copy;
}

// Group BUILTIN\Administrators and the four access-allowed entries, in order, each
// inherited by files and subfolders (0x03) and granting a mask from `masks`.
void ExpectTraceSecurity(PSECURITY_DESCRIPTOR descriptor, const std::set<DWORD>& masks) {
    std::vector<BYTE> admins = SidOf(L"S-1-5-32-544");
    PSID group = nullptr;
    BOOL defaulted = FALSE;
    ASSERT_TRUE(GetSecurityDescriptorGroup(descriptor, &group, &defaulted));
    ASSERT_NE(nullptr, group);
    EXPECT_TRUE(EqualSid(group, admins.data()));

    BOOL present = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted));
    ASSERT_TRUE(present);
    ASSERT_NE(nullptr, dacl);
    EXPECT_EQ(ACL_REVISION, dacl->AclRevision);
    const wchar_t* sids[] = {L"S-1-5-18", L"S-1-1-0", L"S-1-5-32-544", L"S-1-15-2-1"};
    ASSERT_EQ(4u, dacl->AceCount);
    for (DWORD i = 0; i < 4; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
        EXPECT_EQ(ACCESS_ALLOWED_ACE_TYPE, ace->Header.AceType) << i;
        EXPECT_EQ(OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, ace->Header.AceFlags) << i;
        EXPECT_EQ(1u, masks.count(ace->Mask)) << i << ": " << std::hex << ace->Mask;
        std::vector<BYTE> expected = SidOf(sids[i]);
        ASSERT_FALSE(expected.empty());
        EXPECT_TRUE(EqualSid(&ace->SidStart, expected.data())) << i;
    }
}

}  // namespace

TEST(TraceText, FolderSecurityDescriptor) {
    std::vector<BYTE> sd = TraceFile::FolderSecurity();
    ASSERT_FALSE(sd.empty());
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(sd.data(), &control, &revision));
    EXPECT_TRUE(control & SE_SELF_RELATIVE);
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    ASSERT_TRUE(GetSecurityDescriptorOwner(sd.data(), &owner, &defaulted));
    EXPECT_EQ(nullptr, owner);
    ExpectTraceSecurity(sd.data(), {GENERIC_ALL});
}

// ---------------------------------------------------------------------------------------
// Configuration

TEST_F(TraceTest, NoTraceKeyWritesNothingAndAnswersFalse) {
    DeleteKey(TraceKey);
    EnvironmentValue temp(L"Temp", m_folder.c_str());
    DebugOutput debug;
    CCvTrace trace(m_name.c_str());
    EXPECT_FALSE(trace.Reload());
    EXPECT_FALSE(trace.IsEnabled());
    EXPECT_FALSE(trace.IsLevelEnabled(0xFFFFFFFF));
    EXPECT_FALSE(trace.IsContext(0));
    EXPECT_FALSE(trace.IsContext(0xFFFFFFFF));
    EXPECT_FALSE(trace.IsTimeEnabled());
    EXPECT_FALSE(trace.IsMillisecondsEnabled());
    trace.Trace(0xFFFFFFFF, L"[%s] wide", L"Test");
    trace.Trace(0xFFFFFFFF, "[%s] narrow", "Test");
    unsigned char data[4] = {};
    trace.TraceMemory(0xFFFFFFFF, L"memory", data, sizeof data, 0);
    EXPECT_FALSE(PathExists(PrivateFile()));
    EXPECT_FALSE(PathExists(InFolder(L"CvTrace.log")));
    EXPECT_TRUE(debug.Texts().empty());
}

namespace {

// A value set in the key or the trace's subkey, as a DWORD or as raw bytes.
struct Value {
    bool inSubkey;
    const wchar_t* name;
    DWORD number;
    DWORD type = REG_DWORD;
    DWORD size = 4;
};

struct Expected {
    bool enabled;
    DWORD levels;  // of 2, 4, 8, 16: those enabled
    bool time;
    bool milliseconds;
    DWORD context;  // the one value IsContext accepts
};

struct MaskCase {
    const char* title;
    std::vector<Value> values;
    Expected expected;
};

}  // namespace

TEST_F(TraceTest, MasksFromKeySubkeyAndForceValues) {
    const MaskCase cases[] = {
        {"key only", {{false, L"EnableMask", 6}, {false, L"ParamsMask", 0x1401}}, {true, 6, true, true, 0xFFFFFFFF}},
        {"subkey replaces key",
         {{false, L"EnableMask", 6}, {false, L"ParamsMask", 0x1001}, {true, L"EnableMask", 2},
          {true, L"ParamsMask", 0x0408}},
         {true, 2, false, true, 0xFFFFFFFF}},
        {"params without an output bit", {{false, L"EnableMask", 6}, {false, L"ParamsMask", 0x0100}},
         {false, 6, false, false, 0xFFFFFFFF}},
        {"no enable mask", {{false, L"ParamsMask", 0x0001}}, {false, 0, false, false, 0xFFFFFFFF}},
        {"force beats subkey",
         {{false, L"EnableMask", 2}, {true, L"EnableMask", 4}, {false, L"ForceEnableMask", 24},
          {true, L"ParamsMask", 0x0001}, {false, L"ForceParamsMask", 0x1010}},
         {true, 24, true, false, 0xFFFFFFFF}},
        {"context from subkey",
         {{false, L"EnableMask", 2}, {false, L"ParamsMask", 1}, {true, L"ContextMask", 0x55}},
         {true, 2, false, false, 0x55}},
        {"context in the key is ignored",
         {{false, L"EnableMask", 2}, {false, L"ParamsMask", 1}, {false, L"ContextMask", 0x55}},
         {true, 2, false, false, 0xFFFFFFFF}},
        {"DisableContextFlag",
         {{false, L"EnableMask", 2}, {false, L"ParamsMask", 1}, {true, L"ContextMask", 0x55},
          {false, L"DisableContextFlag", 1}},
         {true, 2, false, false, 0xFFFFFFFF}},
        {"DisableContextFlag zero",
         {{false, L"EnableMask", 2}, {false, L"ParamsMask", 1}, {true, L"ContextMask", 0x55},
          {false, L"DisableContextFlag", 0}},
         {true, 2, false, false, 0x55}},
        {"DisableContextFlag in the subkey is ignored",
         {{false, L"EnableMask", 2}, {false, L"ParamsMask", 1}, {true, L"ContextMask", 0x55},
          {true, L"DisableContextFlag", 1}},
         {true, 2, false, false, 0x55}},
        {"4-byte value of any type",
         {{false, L"EnableMask", 4, REG_BINARY}, {false, L"ParamsMask", 1}}, {true, 4, false, false, 0xFFFFFFFF}},
        {"value of another size keeps the previous one",
         {{false, L"EnableMask", 6}, {true, L"EnableMask", 2, REG_BINARY, 2}, {false, L"ParamsMask", 1},
          {false, L"ForceEnableMask", 8, REG_QWORD, 8}},
         {true, 6, false, false, 0xFFFFFFFF}},
    };
    int index = 0;
    for (const MaskCase& c : cases) {
        SCOPED_TRACE(c.title);
        // Each case reads its own subkey, so that cases do not see each other's values.
        std::wstring name = m_name.substr(0, 40) + L"_" + std::to_wstring(index++);
        for (const wchar_t* value : {L"EnableMask", L"ParamsMask", L"ContextMask", L"ForceEnableMask",
                                     L"ForceParamsMask", L"DisableContextFlag"})
            RegDeleteValueW(m_key, value);
        HKEY subkey = Subkey(name);
        SetText(L"TracePath", m_folder);
        for (const Value& v : c.values) {
            unsigned long long data = v.number;
            SetRaw(v.inSubkey ? subkey : m_key, v.name, v.type, &data, v.size);
        }
        CCvTrace trace(name.c_str());
        EXPECT_EQ(c.expected.enabled, trace.IsEnabled());
        for (DWORD level : {2u, 4u, 8u, 16u})
            EXPECT_EQ((c.expected.levels & level) != 0, trace.IsLevelEnabled(level)) << level;
        EXPECT_EQ(c.expected.time, trace.IsTimeEnabled());
        EXPECT_EQ(c.expected.milliseconds, trace.IsMillisecondsEnabled());
        EXPECT_TRUE(trace.IsContext(c.expected.context));
        EXPECT_FALSE(trace.IsContext(c.expected.context ^ 1));
    }
}

TEST_F(TraceTest, ReloadReadsChangedValues) {
    Configure(2, 0x0001);
    CCvTrace trace(m_name.c_str());
    EXPECT_FALSE(trace.IsLevelEnabled(4));
    SetNumber(Subkey(), L"EnableMask", 4);
    EXPECT_TRUE(trace.Reload());
    EXPECT_TRUE(trace.IsLevelEnabled(4));
    // Without the key the last configuration stays.
    RegCloseKey(m_key);
    m_key = nullptr;
    for (HKEY key : m_subkeys) RegCloseKey(key);
    m_subkeys.clear();
    DeleteKey(TraceKey);
    EXPECT_FALSE(trace.Reload());
    EXPECT_TRUE(trace.IsEnabled());
    EXPECT_TRUE(trace.IsLevelEnabled(4));
}

TEST_F(TraceTest, NameOutsideOneTo45CharactersLeavesTheObjectWithoutEngine) {
    Configure(2, 0x0001);
    const std::wstring longest(45, L'n');
    {
        CCvTrace trace(longest.c_str());
        EXPECT_TRUE(trace.IsEnabled());
    }
    DeleteFileW(InFolder(longest + L".log").c_str());
    const std::wstring tooLong(46, L'n');
    for (const wchar_t* name : {tooLong.c_str(), L"", static_cast<const wchar_t*>(nullptr)}) {
        DebugOutput debug;
        CCvTrace trace(name);
        EXPECT_EQ(std::vector<std::string>{"Exception raised in CCvTrace::CCvTrace()\n"}, debug.Texts());
        EXPECT_FALSE(trace.IsEnabled());
        EXPECT_FALSE(trace.IsLevelEnabled(2));
        EXPECT_FALSE(trace.Reload());
        trace.Trace(2, L"%s", L"lost");
    }
    EXPECT_FALSE(PathExists(InFolder(tooLong + L".log")));
}

// ---------------------------------------------------------------------------------------
// File names

TEST_F(TraceTest, PrivateFileNameFromTraceName) {
    SetNumber(L"EnableMask", 2);
    SetNumber(L"ParamsMask", 0x0001);
    const struct {
        std::wstring name;
        std::wstring file;
    } cases[] = {
        {m_name.substr(0, 40) + L".txt", m_name.substr(0, 40) + L".txt"},
        {m_name.substr(0, 40) + L".lo", m_name.substr(0, 40) + L".lo.log"},
        {m_name.substr(0, 40) + L".", m_name.substr(0, 40) + L".log"},
        {m_name.substr(0, 40), m_name.substr(0, 40) + L".log"},
    };
    for (const std::wstring& folder : {m_folder, m_folder + L"\\"}) {
        SetText(L"TracePath", folder);
        for (const auto& c : cases) {
            {
                CCvTrace trace(c.name.c_str());
                trace.Trace(2, L"%s", L"named");
            }
            EXPECT_EQ("named\r\n", ReadBytes(InFolder(c.file))) << c.name << " in " << folder;
            DeleteFileW(InFolder(c.file).c_str());
        }
    }
}

TEST_F(TraceTest, TemporaryFolderWithoutTracePath) {
    SetNumber(L"EnableMask", 2);
    SetNumber(L"ParamsMask", 0x0001);
    const std::wstring temp = m_folder + L"\\temp", tmp = m_folder + L"\\tmp", windir = m_folder + L"\\windir";
    for (const std::wstring& f : {temp, tmp, windir}) CreateDirectoryW(f.c_str(), nullptr);
    const struct {
        const wchar_t* temp;
        const wchar_t* tmp;
        const wchar_t* windir;
        std::wstring expected;
    } cases[] = {
        {temp.c_str(), tmp.c_str(), windir.c_str(), temp},
        {nullptr, tmp.c_str(), windir.c_str(), tmp},
        {nullptr, nullptr, windir.c_str(), windir},
        {nullptr, nullptr, nullptr, L"C:"},
    };
    for (const auto& c : cases) {
        const std::wstring file = c.expected + L"\\" + m_name + L".log";
        {
            EnvironmentValue a(L"Temp", c.temp), b(L"Tmp", c.tmp), d(L"windir", c.windir);
            CCvTrace trace(m_name.c_str());
            trace.Trace(2, L"%s", L"in temp");
        }
        EXPECT_EQ("in temp\r\n", ReadBytes(file)) << c.expected;
        DeleteFileW(file.c_str());
    }
    {  // An empty TracePath counts as none.
        SetText(L"TracePath", L"");
        EnvironmentValue a(L"Temp", temp.c_str());
        CCvTrace trace(m_name.c_str());
        trace.Trace(2, L"%s", L"in temp");
    }
    EXPECT_EQ("in temp\r\n", ReadBytes(temp + L"\\" + m_name + L".log"));
}

TEST_F(TraceTest, CommonFile) {
    SetNumber(L"EnableMask", 2);
    SetNumber(L"ParamsMask", 0x0001);
    SetText(L"TracePath", m_folder);
    const std::wstring named = InFolder(L"common.txt");
    const std::wstring defaultCommon = InFolder(L"CvTrace.log");
    const std::string line = "[" + std::string(m_name.begin(), m_name.end()) + "] common\r\n";

    {  // The flag in the key, no name: CvTrace.log in the trace folder.
        SetNumber(L"CommonFileFlag", 1);
        CCvTrace trace(m_name.c_str());
        trace.Trace(2, L"%s", L"common");
    }
    EXPECT_EQ(line, ReadBytes(defaultCommon));
    EXPECT_FALSE(PathExists(PrivateFile()));

    {  // The flag and the name in the subkey: that file, appended to.
        RegDeleteValueW(m_key, L"CommonFileFlag");
        HKEY subkey = Subkey();
        SetNumber(subkey, L"CommonFileFlag", 1);
        SetText(subkey, L"CommonFileName", named);
        CCvTrace trace(m_name.c_str());
        trace.Trace(2, L"%s", L"common");
        CCvTrace again(m_name.c_str());
        again.Trace(2, L"%s", L"common");
    }
    EXPECT_EQ(line + line, ReadBytes(named)) << "a common file is neither truncated nor separated";
    EXPECT_EQ(line, ReadBytes(defaultCommon));

    {  // The name in the subkey with the flag 0 there, forced to 1 in the key: the name is not read.
        HKEY subkey = Subkey();
        SetNumber(subkey, L"CommonFileFlag", 0);
        SetNumber(L"ForceCommonFileFlag", 1);
        CCvTrace trace(m_name.c_str());
        trace.Trace(2, L"%s", L"common");
    }
    EXPECT_EQ(line + line, ReadBytes(defaultCommon));
    EXPECT_EQ(line + line, ReadBytes(named));

    {  // Forced to 0: the private file, without the name field.
        SetNumber(Subkey(), L"CommonFileFlag", 1);
        SetNumber(L"ForceCommonFileFlag", 0);
        CCvTrace trace(m_name.c_str());
        trace.Trace(2, L"%s", L"private");
    }
    EXPECT_EQ("private\r\n", ReadBytes(PrivateFile()));
}

TEST_F(TraceTest, PrivateFileTruncatedOnReload) {
    Configure(2, 0x0001);
    CCvTrace trace(m_name.c_str());
    EXPECT_EQ("", ReadBytes(PrivateFile()));
    trace.Trace(2, L"%s", L"one");
    EXPECT_EQ("one\r\n", ReadBytes(PrivateFile()));
    EXPECT_TRUE(trace.Reload());
    EXPECT_EQ("", ReadBytes(PrivateFile()));
    trace.Trace(2, L"%s", L"two");
    CCvTrace second(m_name.c_str());
    EXPECT_EQ("", ReadBytes(PrivateFile()));
}

TEST_F(TraceTest, KeptPrivateFileGrowsWithSeparators) {
    Configure(2, 0x0101);
    CCvTrace trace(m_name.c_str());
    trace.Trace(2, L"%s", L"one");
    EXPECT_TRUE(trace.Reload());
    trace.Trace(2, L"%s", L"two");
    CCvTrace second(m_name.c_str());
    second.Trace(2, L"%s", L"three");
    EXPECT_EQ(Separator() + "one\r\n" + Separator() + "two\r\n" + Separator() + "three\r\n",
              ReadBytes(PrivateFile()));
}

// ---------------------------------------------------------------------------------------
// Lines

TEST_F(TraceTest, ExampleLineWithDateTimeMillisecondsAndIds) {
    Configure(6, 0x3C01);
    CCvTrace trace(m_name.c_str());
    trace.Trace(4, L"[%s] Setting console mode to UTF-16", L"wmain");
    trace.Trace(2, L"[%s] information", L"wmain");
    std::vector<std::string> lines = SplitLines(ReadBytes(PrivateFile()));
    ASSERT_EQ(2u, lines.size());
    const std::string ids = "\\[" + Hex(GetCurrentProcessId()) + ":" + Hex(GetCurrentThreadId()) + "\\] ";
    const std::string stamp = "\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d\\.\\d{3}";
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(stamp + ids + "W> \\[wmain\\] Setting console mode to UTF-16")))
        << lines[0];
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(stamp + ids + "\\[wmain\\] information"))) << lines[1];
}

TEST_F(TraceTest, LevelsPrefixesNameAndSession) {
    Configure(2 | 4 | 8 | 16, 0xC001);
    DWORD session = 0;
    ASSERT_TRUE(ProcessIdToSessionId(GetCurrentProcessId(), &session));
    char sessionField[16];
    std::snprintf(sessionField, sizeof sessionField, "[%08lX] ", session);
    const std::string head = "[" + std::string(m_name.begin(), m_name.end()) + "] " + sessionField;
    CCvTrace trace(m_name.c_str());
    for (DWORD level : {2u, 4u, 8u, 16u, 32u}) trace.Trace(level, L"level %u", level);
    EXPECT_EQ(head + "level 2\r\n" + head + "W> level 4\r\n" + head + "E> level 8\r\n" + head + "level 16\r\n",
              ReadBytes(PrivateFile()));
}

TEST_F(TraceTest, LevelNotEnabledWritesNothing) {
    Configure(2, 0x0001);
    CCvTrace trace(m_name.c_str());
    trace.Trace(4, L"[%s] warning", L"Test");
    trace.Trace(4, "[%s] warning", "Test");
    unsigned char data[8] = {};
    trace.TraceMemory(4, L"memory", data, sizeof data, 0);
    EXPECT_EQ("", ReadBytes(PrivateFile()));
    trace.Trace(2, L"[%s] information", L"Test");
    EXPECT_EQ("[Test] information\r\n", ReadBytes(PrivateFile()));
}

TEST_F(TraceTest, MessagesFormattedWithRussianLocaleAndCodePage1251) {
    Configure(2, 0x0001);
    CCvTrace trace(m_name.c_str());
    trace.Trace(2, L"%s|%S|%d|%.2f", L"wide", "narrow", 42, 3.5);
    trace.Trace(2, "%s|%S|%d|%.2f", "narrow", L"wide", 42, 3.5);
    trace.Trace(2, L"[%s] \x0416\x0436 %s", L"Test", L"\x4E2D\x6587");
    trace.Trace(2, L"");
    trace.Trace(2, static_cast<const wchar_t*>(nullptr));
    trace.Trace(2, static_cast<const char*>(nullptr));
    EXPECT_EQ("wide|narrow|42|3,50\r\nnarrow|wide|42|3,50\r\n[Test] \xC6\xE6 ??\r\n", ReadBytes(PrivateFile()));
}

TEST_F(TraceTest, LongMessagesGrowTheBuffer) {
    Configure(2, 0x0001);
    CCvTrace trace(m_name.c_str());
    std::string expected;
    for (size_t length : {255u, 256u, 257u, 511u, 512u, 5000u, 70000u}) {
        std::wstring wide(length, L'w');
        std::string narrow(length, 'n');
        trace.Trace(2, L"%s", wide.c_str());
        trace.Trace(2, "%s", narrow.c_str());
        expected += std::string(length, 'w') + "\r\n" + narrow + "\r\n";
    }
    EXPECT_EQ(expected, ReadBytes(PrivateFile()));
}

TEST_F(TraceTest, MessageThatCannotBeFormattedIsDroppedAndTracingGoesOn) {
    // A wide character that code page 1251 lacks makes the narrow formatter fail for every
    // buffer size; the line is dropped instead of doubling the buffer for ever.
    Configure(2, 0x0001);
    CCvTrace trace(m_name.c_str());
    trace.Trace(2, "before %ls after", L"\x4E2D");
    trace.Trace(2, "%s", "next");
    EXPECT_EQ("next\r\n", ReadBytes(PrivateFile()));
}

TEST_F(TraceTest, MemoryRows) {
    Configure(2, 0x0001);
    CCvTrace trace(m_name.c_str());
    std::vector<unsigned char> data = Sequence(40);
    trace.TraceMemory(2, L"[Test] buffer", data.data(), data.size(), 0);
    trace.TraceMemory(2, L"nothing", nullptr, 40, 0);
    trace.TraceMemory(2, L"nothing", data.data(), 0, 0);
    const unsigned short words[] = {0x0102, 0xFFFF};
    trace.TraceMemory(2, L"words", words, sizeof words, 0x40);
    EXPECT_EQ("[Test] buffer"
              "\r\n 00: 00 01 02 03 04 05 06 07 - 08 09 0A 0B 0C 0D 0E 0F - 10 11 12 13 14 15 16 17 - 18 19 1A 1B "
              "1C 1D 1E 1F"
              "\r\n 20: 20 21 22 23 24 25 26 27"
              "\r\n\r\n"
              "words\r\n 00: 0102 FFFF\r\n\r\n",
              ReadBytes(PrivateFile()));
}

TEST_F(TraceTest, DebuggerOutputAndBreakNotice) {
    Configure(2 | 16, 0x0009);
    DebugOutput debug;
    CCvTrace trace(m_name.c_str());
    trace.Trace(2, L"%s", L"to both");
    trace.Trace(16, L"%s", L"break");
    EXPECT_EQ((std::vector<std::string>{"to both\r\n", "break\r\n", "break\r\n",
                                        "W> A break is requested after last output, but ommitted in release.\n"}),
              debug.Texts());
    EXPECT_EQ("to both\r\nbreak\r\n", ReadBytes(PrivateFile()));
}

TEST_F(TraceTest, BreakNoticeAlsoWithoutDebuggerOutputBit) {
    Configure(16, 0x0001);
    DebugOutput debug;
    CCvTrace trace(m_name.c_str());
    trace.Trace(16, L"%s", L"break");
    EXPECT_EQ((std::vector<std::string>{"break\r\n",
                                        "W> A break is requested after last output, but ommitted in release.\n"}),
              debug.Texts());
}

// ---------------------------------------------------------------------------------------
// Folders

namespace {

bool RunsUnderWine() {
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

}  // namespace

TEST_F(TraceTest, MissingFoldersOfTracePathCreated) {
    const std::wstring folder = m_folder + L"\\logs\\trace";
    SetNumber(L"EnableMask", 2);
    SetNumber(L"ParamsMask", 0x0001);
    SetText(L"TracePath", folder);
    CCvTrace trace(m_name.c_str());
    EXPECT_EQ("", ReadBytes(folder + L"\\" + m_name + L".log")) << "created by reading the configuration";
    trace.Trace(2, L"%s", L"deep");
    EXPECT_EQ("deep\r\n", ReadBytes(folder + L"\\" + m_name + L".log"));
}

TEST_F(TraceTest, CreatedFoldersCarryTraceSecurity) {
    // Wine 8 creates folders with the mode of its umask whatever descriptor the call
    // passes, and reports a descriptor made up from the owner and the mode.
    if (RunsUnderWine()) GTEST_SKIP() << "the folder's stored descriptor is not observable under Wine";
    const std::wstring logs = m_folder + L"\\logs";
    const std::wstring folder = logs + L"\\trace";
    SetNumber(L"EnableMask", 2);
    SetNumber(L"ParamsMask", 0x0001);
    SetText(L"TracePath", folder);
    CCvTrace trace(m_name.c_str());
    for (const std::wstring& f : {logs, folder}) {
        SCOPED_TRACE(std::string(f.begin(), f.end()));
        DWORD size = 0;
        const SECURITY_INFORMATION what = DACL_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION;
        GetFileSecurityW(f.c_str(), what, nullptr, 0, &size);
        ASSERT_GT(size, 0u);
        std::vector<BYTE> sd(size);
        ASSERT_TRUE(GetFileSecurityW(f.c_str(), what, sd.data(), size, &size));
        // Windows may store GENERIC_ALL mapped to the file rights.
        ExpectTraceSecurity(sd.data(), {GENERIC_ALL, FILE_ALL_ACCESS});
    }
}

TEST_F(TraceTest, UnusableFolderLosesLines) {
    SetNumber(L"EnableMask", 2);
    SetNumber(L"ParamsMask", 0x0001);
    SetText(L"TracePath", m_folder + L"\\bad|name\\sub");
    CCvTrace trace(m_name.c_str());
    EXPECT_TRUE(trace.IsEnabled());
    trace.Trace(2, L"%s", L"lost");
    EXPECT_FALSE(PathExists(m_folder + L"\\bad|name"));
}

// ---------------------------------------------------------------------------------------
// Threads and the caller's state

TEST_F(TraceTest, ThreadsAppendWholeLines) {
    Configure(2, 0x0801);
    CCvTrace trace(m_name.c_str());
    const int threads = 4, count = 500;
    const std::string payload(80, 'x');
    std::vector<std::thread> workers;
    std::vector<DWORD> ids(threads);
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            ids[t] = GetCurrentThreadId();
            for (int i = 0; i < count; ++i) trace.Trace(2, "thread %d line %04d %s", t, i, payload.c_str());
        });
    }
    for (std::thread& w : workers) w.join();

    std::vector<std::string> lines = SplitLines(ReadBytes(PrivateFile()));
    ASSERT_EQ(size_t(threads * count), lines.size());
    const std::regex shape("\\[" + Hex(GetCurrentProcessId()) + ":([0-9A-F]+)\\] thread (\\d) line (\\d{4}) " +
                           payload);
    std::set<std::pair<int, int>> seen;
    for (const std::string& line : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, shape)) << line;
        int t = std::stoi(m[2]), i = std::stoi(m[3]);
        ASSERT_LT(t, threads);
        EXPECT_EQ(Hex(ids[t]), m[1].str());
        EXPECT_TRUE(seen.insert({t, i}).second) << line;
    }
    EXPECT_EQ(size_t(threads * count), seen.size());
}

TEST_F(TraceTest, ReloadWhileOtherThreadsTrace) {
    Configure(2, 0x0901);
    CCvTrace trace(m_name.c_str());
    const int threads = 2, count = 300, reloads = 50;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            for (int i = 0; i < count; ++i) trace.Trace(2, "thread %d line %04d", t, i);
        });
    workers.emplace_back([&] {
        for (int i = 0; i < reloads; ++i) trace.Reload();
    });
    for (std::thread& w : workers) w.join();

    std::string text = ReadBytes(PrivateFile());
    size_t separators = 0;
    for (size_t at = 0; (at = text.find(Separator(), at)) != std::string::npos; at += Separator().size())
        ++separators;
    EXPECT_EQ(size_t(1 + reloads), separators);
    const std::regex shape("\\[[0-9A-F]+:[0-9A-F]+\\] thread (\\d) line (\\d{4})");
    std::set<std::string> seen;
    for (const std::string& line : SplitLines(text)) {
        if (line.empty() || line == std::string(68, '*')) continue;
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, shape)) << line;
        EXPECT_TRUE(seen.insert(m[1].str() + m[2].str()).second) << line;
    }
    EXPECT_EQ(size_t(threads * count), seen.size());
}

TEST_F(TraceTest, CallersLastErrorUnchanged) {
    Configure(2, 0x0001);
    CCvTrace trace(m_name.c_str());
    std::vector<unsigned char> bytes = Sequence(16);
    const unsigned char* data = bytes.data();
    const size_t size = bytes.size();
    const struct {
        const char* title;
        std::function<void()> call;
    } cases[] = {
        // Constructions first: they empty the private file.
        {"construction", [&] { CCvTrace other(m_name.c_str()); }},
        {"construction without engine", [&] { CCvTrace other(L""); }},
        {"wide trace", [&] { trace.Trace(2, L"[%s] %d", L"Test", 1); }},
        {"narrow trace", [&] { trace.Trace(2, "[%s] %d", "Test", 2); }},
        {"failing format", [&] { trace.Trace(2, "%ls", L"\x4E2D"); }},
        {"memory", [&] { trace.TraceMemory(2, L"memory", data, size, 0); }},
        {"queries", [&] { trace.IsEnabled(), trace.IsContext(1), trace.IsLevelEnabled(4); }},
        {"unusable folder",
         [&] {
             SetText(L"TracePath", m_folder + L"\\bad|name");
             CCvTrace other(m_name.c_str());
             other.Trace(2, L"%s", L"lost");
         }},
        {"reload", [&] { trace.Reload(); }},
    };
    for (const auto& c : cases) {
        SetLastError(0x2BADF00D);
        c.call();
        EXPECT_EQ(0x2BADF00Du, GetLastError()) << c.title;
    }
    EXPECT_EQ("[Test] 1\r\n[Test] 2\r\nmemory\r\n 00: 00 01 02 03 04 05 06 07 - 08 09 0A 0B 0C 0D 0E 0F\r\n\r\n",
              ReadBytes(PrivateFile()));
}

TEST_F(TraceTest, ProcessTraceNamedCvDiagReportCreatedOnceUnderConcurrentFirstUse) {
    Configure(2, 0x0001);
    const int threads = 8;
    std::atomic<int> ready{0};
    std::vector<CCvTrace*> seen(threads);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            ++ready;
            while (ready.load() < threads) std::this_thread::yield();
            SetLastError(0x1234);
            seen[t] = &GetTrace();
            if (GetLastError() != 0x1234) seen[t] = nullptr;
        });
    for (std::thread& w : workers) w.join();
    for (CCvTrace* p : seen) EXPECT_EQ(&GetTrace(), p);
    GetTrace().Trace(2, L"[%s] started", L"wmain");
    EXPECT_EQ("[wmain] started\r\n", ReadBytes(InFolder(L"CvDiagReport.log")));
}
