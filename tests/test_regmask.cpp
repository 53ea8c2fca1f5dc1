// Masking of secrets in exported ".reg" files: the text as reg.exe writes it
// (continued hex lines, escaped names, the default value), and the file step.
#include <gtest/gtest.h>

#include "RegMask.h"
#include "collector_util.h"
#include "test_util.h"

namespace {

// The text of a fixture: ASCII, each "\n" a CR LF as reg.exe ends its lines.
std::wstring RegText(const std::string& lines) {
    std::wstring text;
    for (char c : lines) {
        if (c == '\n') text += L'\r';
        text += static_cast<wchar_t>(c);
    }
    return text;
}

// The bytes of a file as reg.exe writes it: byte-order mark, UTF-16LE.
std::string RegFileBytes(const std::wstring& text) {
    const std::wstring withMark = L"\xFEFF" + text;
    return std::string(reinterpret_cast<const char*>(withMark.data()), withMark.size() * sizeof(wchar_t));
}

const std::string Header = "Windows Registry Editor Version 5.00\n\n";

// One line of a fixture (a value continued over lines counts as one) and what
// masking makes of it; a line without `out` stays as it is.
struct FixtureLine {
    const char* in;
    const char* out = nullptr;
};

struct MaskCase {
    const char* what;
    std::vector<FixtureLine> lines;  // joined with line breaks
    std::vector<std::wstring> masked;

    std::string Join(bool afterMasking) const {
        std::string text = Header;
        for (size_t i = 0; i < lines.size(); ++i)
            text += std::string(i ? "\n" : "") + (afterMasking && lines[i].out ? lines[i].out : lines[i].in);
        return text;
    }
};

const MaskCase Cases[] = {
    {"automatic logon: passwords masked; the user name, the number of days and a notice kept",
     {{R"([HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows NT\CurrentVersion\Winlogon])"},
      {R"("AutoAdminLogon"="1")"},
      {R"("DefaultUserName"="corvane")"},
      {R"("DefaultPassword"="Tr0ub4dor&3")", R"("DefaultPassword"="<masked by CvDiagReport>")"},
      {R"("AltDefaultPassword"="correct horse")", R"("AltDefaultPassword"="<masked by CvDiagReport>")"},
      {R"("PasswordExpiryWarning"=dword:00000005)"},
      {R"("LegalNoticeText"="Never tell anyone your password or secret.")"},
      {R"(@="DefaultPassword")"},
      {""},
      {""}},
     {L"DefaultPassword", L"AltDefaultPassword"}},

    {"hex types: continued lines replaced whole, the type kept, numbers kept",
     {{R"([HKEY_LOCAL_MACHINE\SOFTWARE\Altorum\Corvane 5\Proxy])"},
      {R"("ProxyPassword"=hex(2):70,00,72,00,6f,00,78,00,79,00,2d,00,70,00,61,00,73,00,73,00,\
  77,00,6f,00,72,00,64,00,00,00)",
       R"("ProxyPassword"=hex(2):3c,00,6d,00,61,00,73,00,6b,00,65,00,64,00,20,00,62,00,\
  79,00,20,00,43,00,76,00,44,00,69,00,61,00,67,00,52,00,65,00,70,00,6f,00,72,\
  00,74,00,3e,00,00,00)"},
      {R"("ProxyServer"="proxy.example:8080")"},
      {R"("SecretPhrases"=hex(7):61,00,00,00,62,00,00,00,00,00)",
       R"("SecretPhrases"=hex(7):3c,00,6d,00,61,00,73,00,6b,00,65,00,64,00,20,00,62,00,\
  79,00,20,00,43,00,76,00,44,00,69,00,61,00,67,00,52,00,65,00,70,00,6f,00,72,\
  00,74,00,3e,00,00,00,00,00)"},
      {R"("ClientSecret"=hex:de,ad,be,ef,de,ad,be,ef,de,ad,be,ef,de,ad,be,ef,de,ad,be,ef,de,ad,\
  be,ef,de,ad,be,ef,de,ad,be,ef,de,ad,be,ef,de,ad,be,ef,de,ad,be,ef,de,ad,be,ef,\
  01,02)",
       R"("ClientSecret"=hex:3c,00,6d,00,61,00,73,00,6b,00,65,00,64,00,20,00,62,00,79,00,\
  20,00,43,00,76,00,44,00,69,00,61,00,67,00,52,00,65,00,70,00,6f,00,72,00,74,\
  00,3e,00)"},
      {R"("SecretCount"=hex(b):02,00,00,00,00,00,00,00)"},
      {R"("PasswordLength"=dword:0000000c)"},
      {R"("SecretOrder"=hex(5):00,00,00,01)"},
      {R"("SecretBlob"=hex(0):01)",
       R"("SecretBlob"=hex(0):3c,00,6d,00,61,00,73,00,6b,00,65,00,64,00,20,00,62,00,79,\
  00,20,00,43,00,76,00,44,00,69,00,61,00,67,00,52,00,65,00,70,00,6f,00,72,00,\
  74,00,3e,00)"},
      {R"("Path"=hex(2):25,00,00,00)"},
      {""}},
     {L"ProxyPassword", L"SecretPhrases", L"ClientSecret", L"SecretBlob"}},

    {"escaped names: matched as read; quotes and backslashes in names and data do not mislead",
     {{R"([HKEY_LOCAL_MACHINE\SOFTWARE\Meridyne\Corvane Studio\Password Store])"},
      {R"("Admin \"Password\" Hint"="a \"quoted\" hint")", R"("Admin \"Password\" Hint"="<masked by CvDiagReport>")"},
      {R"("C:\\Secrets\\vault"="x")", R"("C:\\Secrets\\vault"="<masked by CvDiagReport>")"},
      {R"("Note"="\"DefaultPassword\"=\"hunter2\"")"},
      {R"("Path\\"="\\\\server\\secret\\")"},
      {R"("DefaultUserName"="admin")"},
      {R"("Description"=hex:70,61,73,73,77,6f,72,64)"},
      {R"(@=hex:73,65,63,72,65,74)"},
      {""}},
     {L"Admin \"Password\" Hint", L"C:\\Secrets\\vault"}},

    {"text data over two lines, empty data, the last line without a line break",
     {{R"([HKEY_LOCAL_MACHINE\SOFTWARE\Meridyne])"},
      {R"("RecoverySecret"="first line
\"Password\"=\"second line\"")",
       R"("RecoverySecret"="<masked by CvDiagReport>")"},
      {R"("Greeting"="hello")"},
      {R"("Password"="")", R"("Password"="<masked by CvDiagReport>")"},
      {R"("secret"=hex:)", R"("secret"=hex:3c,00,6d,00,61,00,73,00,6b,00,65,00,64,00,20,00,62,00,79,00,20,00,\
  43,00,76,00,44,00,69,00,61,00,67,00,52,00,65,00,70,00,6f,00,72,00,74,00,3e,\
  00)"}},
     {L"RecoverySecret", L"Password", L"secret"}},
};

TEST(RegMask, FixtureTexts) {
    for (const MaskCase& c : Cases) {
        const RegMaskResult result = MaskRegText(RegText(c.Join(false)));
        EXPECT_EQ(RegText(c.Join(true)), result.Text) << c.what;
        EXPECT_EQ(c.masked, result.Names) << c.what;
    }
}

TEST(RegMask, SecretNames) {
    const struct {
        const wchar_t* name;
        bool secret;
    } names[] = {
        {L"DefaultPassword", true}, {L"PASSWORD", true},         {L"ClientSecret", true},
        {L"sEcReTs", true},         {L"DefaultUserName", false}, {L"Passw0rd", false},
        {L"Secre", false},          {L"pass word", false},       {L"", false},
    };
    for (const auto& n : names) EXPECT_EQ(n.secret, IsSecretValueName(n.name)) << Narrow(n.name);
}

class RegMaskFile : public ::testing::Test {
protected:
    void SetUp() override { folder = MakeTempFolder(L"regmask"); }
    void TearDown() override { DeleteTree(folder); }

    std::wstring folder;
    const std::wstring secretText = RegText(Header + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Meridyne]\n"
                                                     "\"ProxyPassword\"=\"hunter2\"\n\"ProxyUser\"=\"corvane\"\n\n");
    const std::wstring plainText = RegText(Header + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Meridyne]\n"
                                                    "\"ProxyUser\"=\"corvane\"\n\n");
};

TEST_F(RegMaskFile, RewrittenWithTheMarkerAndListed) {
    const std::wstring path = folder + L"\\Company.reg";
    ASSERT_TRUE(WriteBytes(path, RegFileBytes(secretText)));
    std::vector<MaskedValue> masked = {{L"Registry\\Altorum.reg", L"Secret"}};
    EXPECT_EQ(0u, MaskRegFile(path, L"Registry\\Company.reg", masked));
    EXPECT_EQ(RegFileBytes(MaskRegText(secretText).Text), ReadBytes(path));
    EXPECT_EQ(std::string::npos, ReadBytes(path).find(RegFileBytes(L"hunter2").substr(2)));
    ASSERT_EQ(2u, masked.size());
    EXPECT_EQ(L"Registry\\Altorum.reg", masked[0].File);
    EXPECT_EQ(L"Registry\\Company.reg", masked[1].File);
    EXPECT_EQ(L"ProxyPassword", masked[1].Value);
}

// A handle that refuses writers: a file without secrets is only read, one
// with a secret cannot be rewritten and is reported so.
TEST_F(RegMaskFile, RewrittenOnlyWhenSomethingWasMasked) {
    for (const std::wstring* text : {&plainText, &secretText}) {
        const std::wstring path = folder + L"\\Winlogon.reg";
        ASSERT_TRUE(WriteBytes(path, RegFileBytes(*text)));
        HANDLE reader = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, reader);
        std::vector<MaskedValue> masked;
        const DWORD code = MaskRegFile(path, L"Registry\\Winlogon.reg", masked);
        CloseHandle(reader);
        EXPECT_EQ(text == &plainText ? 0u : static_cast<DWORD>(ERROR_SHARING_VIOLATION), code);
        EXPECT_TRUE(masked.empty());
        EXPECT_EQ(RegFileBytes(*text), ReadBytes(path));
    }
}

TEST_F(RegMaskFile, NotRegExeTextOrMissing) {
    const struct {
        const char* what;
        std::string bytes;
        DWORD code;
    } files[] = {
        {"no byte-order mark", RegFileBytes(secretText).substr(2), ERROR_INVALID_DATA},
        {"odd size", RegFileBytes(secretText) + "x", ERROR_INVALID_DATA},
        {"empty", "", ERROR_INVALID_DATA},
    };
    for (const auto& f : files) {
        const std::wstring path = folder + L"\\Print.reg";
        ASSERT_TRUE(WriteBytes(path, f.bytes));
        std::vector<MaskedValue> masked;
        EXPECT_EQ(f.code, MaskRegFile(path, L"Registry\\Print.reg", masked)) << f.what;
        EXPECT_TRUE(masked.empty()) << f.what;
    }
    std::vector<MaskedValue> masked;
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), MaskRegFile(folder + L"\\none.reg", L"none.reg", masked));
}

}  // namespace
