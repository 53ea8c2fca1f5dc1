#include "cvexception.h"

#include <comdef.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "collector_util.h"
#include "test_util.h"

using CvBase::CCvError;

namespace {

std::vector<std::wstring> DumpLines(const CCvError& error) {
    std::vector<std::wstring> lines;
    std::wstring dump = error.GetDump();
    for (size_t start = 0, end; (end = dump.find(L"\r\n", start)) != std::wstring::npos; start = end + 2)
        lines.push_back(dump.substr(start, end - start));
    return lines;
}

CCvError Caught(void (*raise)()) {
    try {
        raise();
    } catch (const CCvError& error) {
        return error;
    }
    ADD_FAILURE() << "nothing was thrown";
    return CCvError(0, nullptr, 0, nullptr);
}

}  // namespace

TEST(Error, PlaceEntriesAndDumpInKeyOrder) {
    const CCvError error = Caught([] { CvBase::ThrowError(5, L"SysReport", 77, L"DiagReport::Create"); });
    EXPECT_EQ(5u, error.GetCode());
    const auto lines = DumpLines(error);
    ASSERT_EQ(5u, lines.size());
    EXPECT_EQ(L"Code: 0x00000005", lines[0]);
    EXPECT_EQ(L"Description: " + CvBase::FormatErrorMessage(5), lines[1]);
    EXPECT_EQ(L"File: SysReport", lines[2]);
    EXPECT_EQ(L"Function: DiagReport::Create", lines[3]);
    EXPECT_EQ(L"Line: 77", lines[4]);

    // Two dumps are the same; the second does not list the first.
    const std::wstring first = error.GetDump();
    EXPECT_EQ(first, std::wstring(error.GetDump()));
    EXPECT_EQ(std::wstring::npos, first.find(L"Dump:"));
}

TEST(Error, WithoutPlaceOnlyCodeAndDescription) {
    const CCvError error(0xE601005F, nullptr, 0, nullptr);
    EXPECT_EQ(0xE601005Fu, error.GetCode());
    EXPECT_EQ(2u, DumpLines(error).size());
    EXPECT_EQ(L'\0', error.GetDebugInfo()[0]);
}

TEST(Error, DebugInfoIsAListOfZeroTerminatedStrings) {
    const CCvError error(3, L"Win32Objects", 175, L"CvBase::CWin32File::Open_Ex");
    std::vector<std::wstring> items;
    for (const wchar_t* p = error.GetDebugInfo(); *p; p += wcslen(p) + 1) items.push_back(p);
    EXPECT_EQ((std::vector<std::wstring>{L"File", L"Win32Objects", L"Line", L"175", L"Function",
                                         L"CvBase::CWin32File::Open_Ex"}),
              items);
    // A dump taken afterwards carries the list, zero characters included.
    error.GetDump();
    const std::wstring dump = *error.FindEntry(L"Dump");
    EXPECT_NE(std::wstring::npos, dump.find(std::wstring(L"DebugInfo: File\0Win32Objects", 28)));
}

TEST(Error, EntryNamesIgnoreLetterCase) {
    CCvError error(1, nullptr, 0, nullptr);
    error.SetEntry(L"minidumpfile", L"a.dmp");
    error.SetEntry(L"MiniDumpFile", L"b.dmp");
    ASSERT_NE(nullptr, error.FindEntry(L"MINIDUMPFILE"));
    EXPECT_EQ(L"b.dmp", *error.FindEntry(L"MiniDumpFile"));
    EXPECT_EQ(3u, DumpLines(error).size());
}

TEST(Error, GetCodeOfShortCodeEntryIsZero) {
    CCvError error(0xE601005F, nullptr, 0, nullptr);
    error.SetEntry(L"Code", L"0x");
    EXPECT_EQ(0u, error.GetCode());
}

TEST(ErrorMessage, ProductTextTakesInserts) {
    const CCvError error = Caught([] {
        CvBase::ThrowError(0xE6010032, L"Common\\CvBaseLib\\dlls", 523, L"f", L"FCIDestroy");
    });
    const std::wstring text = error.GetDescription();
    EXPECT_NE(std::wstring::npos, text.find(L"\"FCIDestroy\"")) << text;
    EXPECT_EQ(std::wstring::npos, text.find(L'\r'));
    EXPECT_EQ(std::wstring::npos, text.find(L'\n'));
}

TEST(ErrorMessage, PercentSignsAndUnusedPlaceholdersAreStripped) {
    struct Case {
        DWORD code;
        std::vector<std::wstring> inserts;
        std::wstring expected;  // must appear in the description
    } cases[] = {
        // "50% done": the percent sign and the space after it go.
        {0xE6010032, {L"50% done"}, L"\"50done\""},
        // A percent sign at the very end of the text goes alone.
        {0xE6060001, {L"A", L"B%"}, L"A: B"},
        // Placeholders %2 and %3 without inserts vanish.
        {0xE6000002, {L"lib.dll"}, L"\"lib.dll\""},
    };
    for (const Case& c : cases) {
        std::wstring ten[10];
        for (size_t i = 0; i < c.inserts.size(); ++i) ten[i] = c.inserts[i];
        const std::wstring text = CvBase::FormatErrorMessage(c.code, ten);
        EXPECT_NE(std::wstring::npos, text.find(c.expected)) << text;
        EXPECT_EQ(std::wstring::npos, text.find(L'%')) << text;
        if (c.code == 0xE6060001) {
            EXPECT_EQ(L"A: B", text.substr(text.size() - 4)) << text;
        }
    }
}

TEST(ErrorMessage, MissingTextFallsBackToCodeText) {
    EXPECT_EQ(L"0xE601005F (-436141985)", CvBase::FormatErrorCode(0xE601005F));
    EXPECT_EQ(L"0x00000002 (2)", CvBase::FormatErrorCode(2));
    // A product code that the message table does not hold.
    EXPECT_EQ(L"0xE601005E (-436141986)", std::wstring(CCvError(0xE601005E, nullptr, 0, nullptr).GetDescription()));
}

TEST(ErrorMessage, WithoutMessageLibraryTheCodeTextIsTheDescription) {
    // A copy of the probe in a folder without CvError.dll.
    const std::wstring folder = MakeTempFolder(L"noerrdll");
    const std::wstring probe = folder + L"\\error_probe.exe";
    ASSERT_TRUE(CopyFileW((ExeFolder() + L"\\error_probe.exe").c_str(), probe.c_str(), FALSE));
    EXPECT_EQ("0xE601005F (-436141985)\r\n", RunAndCapture(L"\"" + probe + L"\" describe E601005F", nullptr, folder.c_str()));
    DeleteFileW(probe.c_str());
    RemoveDirectoryW(folder.c_str());
    // Next to the library the text is found.
    const std::string found = RunAndCapture(L"\"" + ExeFolder() + L"\\error_probe.exe\" describe E601005F");
    EXPECT_EQ(std::string::npos, found.find("0xE601005F")) << found;
    EXPECT_GT(found.size(), 10u);
}

TEST(ErrorMessage, SystemTextsAndLastError) {
    const std::wstring text = CvBase::FormatErrorMessage(ERROR_ACCESS_DENIED);
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(std::wstring::npos, text.find(L'\r'));
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_EQ(text, CvBase::FormatErrorMessage(0xFFFFFFFF));
}

TEST(ErrorMessage, MessageLibraryByCodeBits) {
    struct Case {
        DWORD code;
        const wchar_t* library;
    } cases[] = {
        {0xE6000002, L"CvError.dll"},       {0x06000000, L"CvError.dll"},  {0x80005000, L"ActiveDS.dll"},
        {0x00005FFF, L"ActiveDS.dll"},      {0xC0020001, L"NtDll.dll"},    {0x80041001, L"wbem\\wmiutils.dll"},
        {0x80041099, L"wbem\\wmiutils.dll"}, {0x80042003, L"wbem\\wmiutils.dll"},
        {0x80044031, L"wbem\\wmiutils.dll"}, {0x80041100, nullptr},         {0x80044032, nullptr},
        {5, nullptr},                       {0x02000000, nullptr},
    };
    for (const Case& c : cases) {
        const wchar_t* library = CvBase::GetMessageModule(c.code);
        if (c.library)
            EXPECT_STREQ(c.library, library) << std::hex << c.code;
        else
            EXPECT_EQ(nullptr, library) << std::hex << c.code;
    }
}

TEST(ProductLanguage, FromProductLocale) {
    const wchar_t* key = L"SOFTWARE\\Meridyne\\Corvane Studio";
    struct Case {
        DWORD type;
        std::wstring text;  // REG_SZ data
        DWORD number;       // REG_DWORD data
        const char* expected;
    } cases[] = {
        {REG_SZ, L"en-US", 0, "1033\r\n"},
        {REG_EXPAND_SZ, L"ru-RU", 0, "1049\r\n"},
        {REG_SZ, L"en", 0, "1049\r\n"},
        {REG_SZ, L"en-US-x", 0, "1049\r\n"},
        {REG_DWORD, L"", 1033, "1049\r\n"},
        {REG_NONE, L"", 0, "1049\r\n"},  // no value at all
    };
    const std::wstring probe = L"\"" + ExeFolder() + L"\\error_probe.exe\" language";
    for (const Case& c : cases) {
        RegKey product(HKEY_LOCAL_MACHINE, key, KEY_WOW64_64KEY);
        RegDeleteValueW(product, L"ProductLocale");
        if (c.type == REG_DWORD)
            RegSetValueExW(product, L"ProductLocale", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&c.number), 4);
        else if (c.type != REG_NONE)
            RegSetValueExW(product, L"ProductLocale", 0, c.type, reinterpret_cast<const BYTE*>(c.text.c_str()),
                           static_cast<DWORD>((c.text.size() + 1) * sizeof(wchar_t)));
        EXPECT_EQ(c.expected, RunAndCapture(probe)) << c.type << " " << std::string(c.text.begin(), c.text.end());
        RegDeleteValueW(product, L"ProductLocale");
    }
}

TEST(ProductLanguage, RussianWithoutTheProductsKey) {
    SavedKey product(L"SOFTWARE\\Meridyne\\Corvane Studio");
    product.Remove();
    EXPECT_EQ("1049\r\n", RunAndCapture(L"\"" + ExeFolder() + L"\\error_probe.exe\" language"));
}

TEST(ComTranslator, TurnsComFailuresIntoErrors) {
    CvBase::CComErrorTranslator translator;
    const CCvError plain = Caught([] { _com_issue_error(E_OUTOFMEMORY); });
    EXPECT_EQ(0xE6060001u, plain.GetCode());
    EXPECT_EQ(L"1851", *plain.FindEntry(L"Line"));
    EXPECT_EQ(L"CvBase::CComErrorTranslator::Translator", *plain.FindEntry(L"Function"));
    EXPECT_NE(std::wstring::npos, std::wstring(plain.GetDescription()).find(L"0x8007000E (-2147024882)"));

    const CCvError withInfo = Caught([] {
        ICreateErrorInfo* create = nullptr;
        ASSERT_EQ(S_OK, CreateErrorInfo(&create));
        create->SetDescription(const_cast<LPOLESTR>(L"Provider is not open"));
        create->SetSource(const_cast<LPOLESTR>(L"WbemProvider"));
        IErrorInfo* info = nullptr;
        create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info));
        create->Release();
        struct Release {
            IErrorInfo* p;
            ~Release() { p->Release(); }
        } release{info};
        CvBase::CComErrorTranslator::Translator(0x80041003, info);
    });
    EXPECT_EQ(0xE6060002u, withInfo.GetCode());
    EXPECT_EQ(L"1847", *withInfo.FindEntry(L"Line"));
    const std::wstring text = withInfo.GetDescription();
    EXPECT_NE(std::wstring::npos, text.find(L"Provider is not open")) << text;
    EXPECT_NE(std::wstring::npos, text.find(L"WbemProvider")) << text;
}

TEST(ComTranslator, HResultWithoutSystemTextIsNamed) {
    const CCvError dispatch = Caught([] { CvBase::CComErrorTranslator::Translator(0x80040205, nullptr); });
    EXPECT_NE(std::wstring::npos, std::wstring(dispatch.GetDescription()).find(L"IDispatch error #5"));
    const CCvError unknown = Caught([] { CvBase::CComErrorTranslator::Translator(0xA0001234, nullptr); });
    EXPECT_NE(std::wstring::npos, std::wstring(unknown.GetDescription()).find(L"Unknown error 0xA0001234"));
}
