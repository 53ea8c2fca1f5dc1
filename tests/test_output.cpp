#include "output.h"

#include <fcntl.h>
#include <io.h>
#include <gtest/gtest.h>

#include <cstdio>

#include "cvexception.h"
#include "test_util.h"
#include "utility.h"

TEST(FormatByteSize, UnitsAndPrecision) {
    struct Case {
        unsigned long long bytes;
        const wchar_t* text;
    } cases[] = {
        {0, L"0 B"},
        {1023, L"1023 B"},
        {1024, L"~1.00 KB"},
        {10240, L"~10.0 KB"},
        {102400, L"~100 KB"},
        {1048575, L"~1024 KB"},
        {1048576, L"~1.00 MB"},
        {12595, L"~12.3 KB"},
        {1ull << 30, L"~1.00 GB"},
        {1ull << 40, L"~1024 GB"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.text, FormatByteSize(c.bytes)) << c.bytes;
}

TEST(FormatNumber, GroupsOfThree) {
    struct Case {
        unsigned long long number;
        wchar_t separator;
        const wchar_t* text;
    } cases[] = {
        {0, L'\'', L"0"},
        {7, L'\'', L"7"},
        {999, L'\'', L"999"},
        {1000, L'\'', L"1'000"},
        {1000001, L'\'', L"1'000'001"},
        {1234567, L'\'', L"1'234'567"},
        {1234567, 0, L"1234567"},
        {18446744073709551615ull, L'\'', L"18'446'744'073'709'551'615"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.text, FormatNumber(c.number, c.separator)) << c.number;
}

TEST(ConsoleEcho, HexCodeAndStep) {
    CapturedStdout out;
    console::echo::hex_code(670);
    console::echo::hex_code(0xE600001B);
    console::echo::step(L"Collecting data");
    console::echo::spaces(3);
    EXPECT_EQ(L"0x0000029e0xe600001b> Collecting data...   ", out.Text());
}

TEST(ConsoleEcho, FormattedTextLimitRaises13) {
    CapturedStdout out;
    EXPECT_EQ(511u, console::echo::text(L"%s", std::wstring(511, L'a').c_str()));
    try {
        console::echo::text(L"%s", std::wstring(512, L'b').c_str());
        ADD_FAILURE() << "no error for 512 characters";
    } catch (const CvBase::CCvError& error) {
        EXPECT_EQ(13u, error.GetCode());
        EXPECT_EQ(L"console::echo::text", *error.FindEntry(L"Function"));
    }
    EXPECT_EQ(std::wstring(511, L'a'), out.Text());
}

TEST(ConsoleEcho, LongPathsArePrintedWhole) {
    // Paths in the dump summary and the final message have no length limit.
    const std::wstring path = L"C:\\" + std::wstring(700, L'd') + L"\\memory.dmp";
    CapturedStdout out;
    console::echo::dumps(GetStdHandle(STD_OUTPUT_HANDLE), {{path, 2048}, {L"C:\\b.dmp", 1048576}});
    console::echo::packed(GetStdHandle(STD_OUTPUT_HANDLE), path);
    const std::wstring text = out.Text();
    EXPECT_NE(std::wstring::npos,
              text.find(L"\nThere are 2 dumps detected during collecting of diagnostic information:\n  \"" + path +
                        L"\", size: ~2.00 KB\n  \"C:\\b.dmp\", size: ~1.00 MB\n\nDue to the overall size of these files "
                        L"(~1.00 MB), please,"));
    EXPECT_NE(std::wstring::npos,
              text.find(L"\nDiagnostic information is collected and packed in: \"" + path +
                        L"\". For assistance with identifying problems and possible solutions, please, provide "
                        L"resulting archive to us as soon as possible.\n\n"));
}

TEST(ConsolePosition, WithoutConsoleSafeFormsFailAndRaisingFormsRaise) {
    // Standard output of a test run is not a console.
    HANDLE file = CreateFileW((MakeTempFolder(L"pos") + L"\\f").c_str(), GENERIC_WRITE | GENERIC_READ, 0, nullptr,
                              CREATE_ALWAYS, 0, nullptr);
    COORD position = {};
    EXPECT_FALSE(console::get_position__safe(file, position));
    EXPECT_FALSE(console::set_position__safe(file, position));
    EXPECT_FALSE(console::set__text_color__safe(file, console::Red));
    EXPECT_THROW(console::get_position(file), CvBase::CCvError);
    EXPECT_THROW(console::set_position(file, position), CvBase::CCvError);
    CloseHandle(file);
}

TEST(Bitness, WowSystemFolderAndProcessKind) {
    wchar_t windows[MAX_PATH];
    ASSERT_GT(GetEnvironmentVariableW(L"windir", windows, MAX_PATH), 0u);
    EXPECT_EQ(std::wstring(windows) + L"\\SysWOW64", Bitness::GetWowSystemDir());
    EXPECT_EQ(&Bitness::GetWowSystemDir(), &Bitness::GetWowSystemDir());  // looked up once
    EXPECT_FALSE(Bitness::IsWow_Process());  // a 64-bit test program
}
