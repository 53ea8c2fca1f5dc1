// Listing the files of a folder, the file size and the file text of the
// packing progress.
#include <gtest/gtest.h>

#include <algorithm>

#include "CvTrace.h"
#include "DiagReport.h"
#include "Progress.h"
#include "collector_util.h"
#include "cvexception.h"
#include "output.h"
#include "test_util.h"
#include "utility.h"

namespace {

// A folder with three files, and a sub-folder whose name matches "*.log"
// holding a file of its own.
class FolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_folder = MakeTempFolder(L"enumerate");
        for (const wchar_t* name : {L"a.log", L"b.log", L"c.xml"})
            ASSERT_TRUE(WriteBytes(m_folder + L"\\" + name, "text"));
        ASSERT_TRUE(CreateDirectoryW((m_folder + L"\\dir.log").c_str(), nullptr));
        ASSERT_TRUE(WriteBytes(m_folder + L"\\dir.log\\inner.log", "text"));
        m_traceFolder = MakeTempFolder(L"enumerate-trace");
    }
    void TearDown() override {
        DeleteTree(m_folder);
        DeleteTree(m_traceFolder);
    }

    // The sorted list, and the trace lines written meanwhile.
    std::vector<std::wstring> Enumerate(const std::wstring& folder, const std::wstring& pattern,
                                        std::vector<std::string>& lines) {
        std::vector<std::wstring> files;
        {
            TraceCapture trace(m_traceFolder);
            DiagReport::EnumerateFolder(folder, pattern, files);
            lines = trace.Lines();
        }
        std::sort(files.begin(), files.end());
        return files;
    }

    std::wstring m_folder;
    std::wstring m_traceFolder;
};

TEST_F(FolderTest, MatchingFilesOnlyAsFullPaths) {
    struct Case {
        const wchar_t* pattern;
        bool trailingBackslash;
        std::vector<std::wstring> names;
    } cases[] = {
        {L"*.log", false, {L"a.log", L"b.log"}},
        {L"*.xml", false, {L"c.xml"}},
        {L"*", false, {L"a.log", L"b.log", L"c.xml"}},
        {L"*.log", true, {L"a.log", L"b.log"}},
        {L"dir.log", false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.pattern) + (c.trailingBackslash ? " with a trailing backslash" : ""));
        std::vector<std::string> lines;
        const std::vector<std::wstring> files =
            Enumerate(c.trailingBackslash ? m_folder + L"\\" : m_folder, c.pattern, lines);
        std::vector<std::wstring> expected;
        for (const std::wstring& name : c.names) expected.push_back(m_folder + L"\\" + name);
        EXPECT_EQ(expected, files);
        EXPECT_TRUE(lines.empty()) << lines.front();
    }
}

TEST_F(FolderTest, AppendsToTheList) {
    std::vector<std::wstring> files = {L"kept"};
    DiagReport::EnumerateFolder(m_folder, L"*.xml", files);
    const std::vector<std::wstring> expected = {L"kept", m_folder + L"\\c.xml"};
    EXPECT_EQ(expected, files);
}

TEST_F(FolderTest, NoMatchIsQuietAMissingFolderIsTraced) {
    std::vector<std::string> lines;
    EXPECT_TRUE(Enumerate(m_folder, L"*.none", lines).empty());
    EXPECT_TRUE(lines.empty()) << lines.front();

    const std::wstring missing = m_folder + L"\\missing";
    EXPECT_TRUE(Enumerate(missing, L"*.log", lines).empty());
    const std::vector<std::string> expected = {
        "W> [DiagReport::EnumerateFolder] FindFirstFile(\"\\\\?\\" + Narrow(missing) + "\\*.log\"), 0x00000003"};
    EXPECT_EQ(expected, lines);
}

// ---------------------------------------------------------------------------
// File size

TEST_F(FolderTest, FileSizes) {
    struct Case {
        const char* name;
        unsigned long long size;
    } cases[] = {
        {"empty", 0},
        {"small", 1000},
        {"beyond 32 bits", 0x100000001ull},  // sparse: only the length is set
    };
    const std::wstring path = m_folder + L"\\sized.bin";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file);
        LARGE_INTEGER end;
        end.QuadPart = static_cast<LONGLONG>(c.size);
        EXPECT_TRUE(SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file));
        CloseHandle(file);
        EXPECT_EQ(c.size, GetFileSize(path));
        EXPECT_EQ(c.size, GetFileSize(L"\\\\?\\" + path)) << "a path with the prefix already";
    }
    DeleteFileW(path.c_str());
}

TEST_F(FolderTest, FileSizeBeyondTheClassicPathLimit) {
    std::wstring folder = m_folder;
    while (folder.size() < 300) {
        folder += L"\\" + std::wstring(40, L'd');
        ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + folder).c_str(), nullptr));
    }
    const std::wstring path = folder + L"\\long.txt";
    ASSERT_TRUE(WriteBytes(L"\\\\?\\" + path, "12345"));
    EXPECT_EQ(5u, GetFileSize(path));
    DeleteFileW((L"\\\\?\\" + path).c_str());
    for (; folder.size() > m_folder.size(); folder.erase(folder.rfind(L'\\')))
        RemoveDirectoryW((L"\\\\?\\" + folder).c_str());
}

TEST(LongPath, PrefixedOnlyBeyondTheClassicLimit) {
    const std::wstring tail = L"\\" + std::wstring(MAX_PATH, L'x');
    struct Case {
        std::wstring path, expected;
    } cases[] = {
        {L"C:\\short\\file.log", L"C:\\short\\file.log"},
        {L"C:\\short" + std::wstring(MAX_PATH - 9, L'x'), L"C:\\short" + std::wstring(MAX_PATH - 9, L'x')},
        {L"C:\\short" + std::wstring(MAX_PATH - 8, L'x'), L"\\\\?\\C:\\short" + std::wstring(MAX_PATH - 8, L'x')},
        {L"C:" + tail, L"\\\\?\\C:" + tail},
        {L"\\\\server\\share" + tail, L"\\\\?\\UNC\\server\\share" + tail},
        {L"\\\\?\\C:" + tail, L"\\\\?\\C:" + tail},
    };
    for (const Case& c : cases) EXPECT_EQ(c.expected, LongPath(c.path)) << Narrow(c.path.substr(0, 20));
}

TEST_F(FolderTest, MissingFileRaisesAndIsTraced) {
    const std::wstring missing = m_folder + L"\\missing.bin";
    for (const std::wstring& path : {missing, L"\\\\?\\" + missing}) {
        SCOPED_TRACE(Narrow(path));
        std::vector<std::string> lines;
        {
            TraceCapture trace(m_traceFolder);
            try {
                GetFileSize(path);
                ADD_FAILURE() << "no error raised";
            } catch (const CvBase::CCvError& error) {
                EXPECT_EQ(2u, error.GetCode());
                const std::wstring* function = error.FindEntry(L"Function");
                ASSERT_NE(nullptr, function);
                EXPECT_EQ(L"GetFileSize", *function);
            }
            lines = trace.Lines();
        }
        const std::vector<std::string> expected = {"W> [GetFileSize] GetFileAttributesEx(), File: \"" +
                                                   Narrow(path) + "\""};
        EXPECT_EQ(expected, lines);
    }
}

// ---------------------------------------------------------------------------
// Progress file text

TEST_F(FolderTest, ProgressTextOfAShortPath) {
    const std::wstring path = m_folder + L"\\kilobyte.bin";
    ASSERT_TRUE(WriteBytes(path, std::string(1024, 'k')));
    EXPECT_EQ(L"\"" + path + L"\", FileSize: ~1.00 KB", ProgressFileText(path, FormatByteSize(GetFileSize(path))));
}

TEST(ProgressText, LongPathShortenedInTheMiddle) {
    const std::wstring size = L"~1.00 KB";
    const size_t frame = std::wstring(L"\"\", FileSize: ").size() + size.size();
    const size_t fits = 511 - frame;
    for (size_t length : {fits - 1, fits, fits + 1, size_t(1000)}) {
        SCOPED_TRACE(length);
        // Every position of the path is told apart by its character.
        std::wstring path = L"C:\\";
        for (size_t i = 0; path.size() < length; ++i) path += static_cast<wchar_t>(L'A' + i % 26);
        const std::wstring text = ProgressFileText(path, size);
        const std::wstring after = L"\", FileSize: " + size;
        ASSERT_GE(text.size(), after.size() + 1);
        EXPECT_EQ(L'"', text.front());
        EXPECT_EQ(after, text.substr(text.size() - after.size()));
        if (length <= fits) {
            EXPECT_EQ(L"\"" + path + after, text);
            continue;
        }
        EXPECT_EQ(511u, text.size());
        const std::wstring shown = text.substr(1, text.size() - 1 - after.size());
        const size_t dots = shown.find(L"...");
        ASSERT_NE(std::wstring::npos, dots);
        const size_t head = dots, tail = shown.size() - dots - 3;
        EXPECT_LE(std::max(head, tail) - std::min(head, tail), 1u) << "not shortened in the middle";
        EXPECT_EQ(path.substr(0, head), shown.substr(0, head));
        EXPECT_EQ(path.substr(path.size() - tail), shown.substr(dots + 3));
    }
}

// ---------------------------------------------------------------------------
// Progress pace: which calls are drawn

TEST(ProgressPace, FirstAndLastAtOnceOthersAtMostOnceAnInterval) {
    const ULONGLONG step = 250;  // milliseconds: a quarter of a second
    enum Kind { Call, End, Poll };
    struct Event {
        Kind kind;
        ULONGLONG now;
        bool drawn;
    };
    const Event events[] = {
        {Call, 1000, true},                // the first file
        {Call, 1001, false},               // many small files: held back...
        {Call, 1000 + step - 1, false},
        {Poll, 1000 + step - 1, false},
        {Call, 1000 + step, true},         // ...until the interval has passed
        {Call, 1000 + step + 5, false},    // held back, and its file takes long:
        {Poll, 1000 + step + 6, false},
        {Poll, 1000 + 2 * step, true},     // drawn while it is packed, once
        {Poll, 1000 + 4 * step, false},    // nothing held
        {Call, 1000 + 4 * step + 1, true},
        {Call, 1000 + 4 * step + 2, false},
        {End, 1000 + 4 * step + 3, true},  // the end, at once
        {Poll, 1000 + 9 * step, false},    // the held call is gone with it
    };
    ProgressPace pace;
    for (size_t i = 0; i < std::size(events); ++i) {
        SCOPED_TRACE(i);
        const Event& e = events[i];
        const bool drawn = e.kind == Poll ? pace.Poll(e.now) : pace.Take(e.now, e.kind == End);
        EXPECT_EQ(e.drawn, drawn);
    }
}

TEST(ProgressPace, ListOfOneFileShowsItAndTheEnd) {
    ProgressPace pace;
    EXPECT_TRUE(pace.Take(5, false));
    EXPECT_TRUE(pace.Take(5, true));
}

}  // namespace
