// The dump search: the dump test of a file, the walk of a tree, and the
// search over the drives of a prefix whose drives C:, D: and E: are local
// (tests/dumps_drives.sh makes D: and E:, and the link loop D:\loop\back).
#include <gtest/gtest.h>

#include <algorithm>

#include "DiagReport.h"
#include "DumpSearch.h"
#include "collector_util.h"
#include "cvexception.h"
#include "test_util.h"

namespace {

const unsigned long long Minute = 600000000ull;

unsigned long long Now() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

// Writes a file and sets its last write time.
bool Plant(const std::wstring& path, const std::string& bytes, unsigned long long written) {
    if (!WriteBytes(L"\\\\?\\" + path, bytes)) return false;
    HANDLE file = CreateFileW((L"\\\\?\\" + path).c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const FILETIME time = {static_cast<DWORD>(written), static_cast<DWORD>(written >> 32)};
    const bool ok = SetFileTime(file, nullptr, nullptr, &time) != FALSE;
    CloseHandle(file);
    return ok;
}

const std::string Minidump("MDMP\x93\xA7\0\0", 8);

std::vector<std::wstring> Paths(const std::list<Dump::FileInfo>& dumps) {
    std::vector<std::wstring> paths;
    for (const Dump::FileInfo& dump : dumps) paths.push_back(dump.path);
    return paths;
}

// Only the paths below one of the folders, in list order.
std::vector<std::wstring> PathsBelow(const std::list<Dump::FileInfo>& dumps, const std::vector<std::wstring>& folders) {
    std::vector<std::wstring> paths;
    for (const Dump::FileInfo& dump : dumps)
        for (const std::wstring& folder : folders)
            if (dump.path.compare(0, folder.size() + 1, folder + L"\\") == 0) paths.push_back(dump.path);
    return paths;
}

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

class DumpTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_folder = MakeTempFolder(L"dumps");
        m_traceFolder = MakeTempFolder(L"dumps-trace");
    }
    void TearDown() override {
        DeleteTree(m_folder);
        DeleteTree(m_traceFolder);
    }
    // The dumps among the files of the test folder, which has no subfolders,
    // and the trace lines written meanwhile.
    std::list<Dump::FileInfo> ListFolder(unsigned long long now, std::vector<std::string>& lines) {
        std::list<Dump::FileInfo> dumps;
        std::vector<std::wstring> subfolders;
        TraceCapture trace(m_traceFolder);
        DiagReport::EnumerateFolder(m_folder, dumps, {now, 10080}, subfolders);
        lines = trace.Lines();
        EXPECT_TRUE(subfolders.empty());
        return dumps;
    }
    std::wstring m_folder;
    std::wstring m_traceFolder;
};

TEST_F(DumpTest, SizeSignatureAndAge) {
    const unsigned long long now = Now();
    struct Case {
        const wchar_t* name;
        std::string bytes;
        unsigned long long written;
        const char* trace;  // the line of the check that ends the test, or "added"
    } cases[] = {
        {L"eight.dmp", Minidump, now - Minute, "added"},
        {L"seven.dmp", Minidump.substr(0, 7), now - Minute, "skipped, too small (7 bytes)"},
        {L"other.dmp", std::string("MDMP\x93\x00\0\0", 8), now - Minute, "skipped, magic error"},
        {L"kernel.dmp", "PAGEDU64" + std::string(100, '\0'), now - Minute, "added"},
        {L"kernel32.dmp", "PAGEDUMP" + std::string(100, '\0'), now - Minute, "added"},
        {L"aged.dmp", Minidump, now - 10079 * Minute, "added"},
        {L"old.dmp", Minidump, now - 10080 * Minute, "skipped, too old"},
        {L"future.dmp", Minidump, now + 1440 * Minute, "added"},
        {L"UPPER.DMP", Minidump, now - Minute, "added"},
        {L"text.txt", Minidump, now - Minute, nullptr},  // not a "*.dmp" name
    };
    for (const Case& c : cases) ASSERT_TRUE(Plant(m_folder + L"\\" + c.name, c.bytes, c.written));
    std::vector<std::string> lines;
    const std::list<Dump::FileInfo> dumps = ListFolder(now, lines);
    std::vector<std::wstring> listed = Paths(dumps), expected;
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.name));
        const std::string path = Narrow(m_folder) + "\\" + Narrow(c.name);
        if (!c.trace) {
            for (const std::string& line : lines) EXPECT_EQ(std::string::npos, line.find(path)) << line;
            continue;
        }
        if (std::string(c.trace) == "added") {
            expected.push_back(m_folder + L"\\" + c.name);
            EXPECT_TRUE(Contains(lines, "[DiagReport::EnumerateFolder] Dump \"" + path + "\": added"));
        } else {
            const char* check = std::string(c.trace).find("small") != std::string::npos ? "Size"
                                : std::string(c.trace).find("magic") != std::string::npos ? "Magic"
                                                                                          : "Time";
            EXPECT_TRUE(Contains(lines, std::string("[Dump::Check_") + check + "] Dump \"" + path + "\": " + c.trace));
        }
    }
    std::sort(listed.begin(), listed.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, listed);
    for (const Dump::FileInfo& dump : dumps)
        if (dump.path == m_folder + L"\\kernel.dmp") {
            EXPECT_EQ(108u, dump.size);
        }
}

TEST_F(DumpTest, TooSmallIsNotOpenedAnUnreadableDumpIsNotListed) {
    const unsigned long long now = Now();
    const std::wstring small = m_folder + L"\\small.dmp", locked = m_folder + L"\\locked.dmp";
    ASSERT_TRUE(Plant(small, "MDMP", now));
    ASSERT_TRUE(Plant(locked, Minidump, now));
    // Held open without sharing: any open of either fails.
    HANDLE holdSmall = CreateFileW(small.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE holdLocked = CreateFileW(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, holdSmall);
    ASSERT_NE(INVALID_HANDLE_VALUE, holdLocked);
    std::vector<std::string> lines;
    const std::list<Dump::FileInfo> dumps = ListFolder(now, lines);
    CloseHandle(holdSmall);
    CloseHandle(holdLocked);
    EXPECT_TRUE(dumps.empty());
    EXPECT_TRUE(Contains(lines, "[Dump::Check_Size] Dump \"" + Narrow(small) + "\": skipped, too small (4 bytes)"));
    EXPECT_TRUE(Contains(lines, "W> [CheckMagic] Can't open: \"" + Narrow(locked) + "\", error: 0x00000020"));
    EXPECT_TRUE(Contains(lines, "[Dump::Check_Magic] Dump \"" + Narrow(locked) + "\": skipped, magic error"));
    for (const std::string& line : lines)
        EXPECT_TRUE(line.find("CheckMagic") == std::string::npos || line.find("locked.dmp") != std::string::npos)
            << line;
}

// The walk with a stack of 64 KiB: a walk that recursed once per level would
// overflow it long before the bottom of 300 levels.
DWORD WINAPI WalkOnSmallStack(void* argument) {
    auto* job = static_cast<std::pair<std::wstring, std::list<Dump::FileInfo>>*>(argument);
    DiagReport::EnumerateFolder_Recursive(job->first, job->second, {Now(), 10080});
    return 0;
}

TEST_F(DumpTest, DeepTreeBeyondTheClassicPathLimitOnASmallStack) {
    std::wstring folder = m_folder + L"\\deep";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    for (int level = 1; level < 300; ++level) {
        folder += L"\\d";
        ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + folder).c_str(), nullptr)) << level;
    }
    ASSERT_GT(folder.size(), 600u);
    ASSERT_TRUE(Plant(folder + L"\\bottom.dmp", Minidump, Now()));
    ASSERT_TRUE(Plant(m_folder + L"\\top.dmp", Minidump, Now()));

    std::pair<std::wstring, std::list<Dump::FileInfo>> job(m_folder, {});
    HANDLE thread = CreateThread(nullptr, 64 * 1024, WalkOnSmallStack, &job, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    ASSERT_NE(nullptr, thread);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 60000));
    DWORD code = 1;
    GetExitCodeThread(thread, &code);
    CloseHandle(thread);
    EXPECT_EQ(0u, code);
    const std::vector<std::wstring> expected = {m_folder + L"\\top.dmp", folder + L"\\bottom.dmp"};
    EXPECT_EQ(expected, Paths(job.second));

    for (; folder.size() > m_folder.size(); folder.erase(folder.rfind(L'\\'))) {
        DeleteFileW((L"\\\\?\\" + folder + L"\\bottom.dmp").c_str());
        RemoveDirectoryW((L"\\\\?\\" + folder).c_str());
    }
}

TEST_F(DumpTest, FilesOfAFolderBeforeItsSubfoldersEachSubtreeWhole) {
    // x and y each hold a dump and a subfolder with one; the file system
    // decides whether x or y comes first.
    const unsigned long long now = Now();
    for (const wchar_t* sub : {L"x", L"x\\inner", L"y", L"y\\inner"})
        ASSERT_TRUE(CreateDirectoryW((m_folder + L"\\" + sub).c_str(), nullptr));
    for (const wchar_t* file : {L"top.dmp", L"x\\1.dmp", L"x\\inner\\2.dmp", L"y\\3.dmp", L"y\\inner\\4.dmp"})
        ASSERT_TRUE(Plant(m_folder + L"\\" + file, Minidump, now));
    std::list<Dump::FileInfo> dumps;
    DiagReport::EnumerateFolder_Recursive(m_folder, dumps, {now, 10080});

    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((m_folder + L"\\*").c_str(), &entry);
    ASSERT_NE(INVALID_HANDLE_VALUE, find);
    std::vector<std::wstring> order;
    do {
        if (entry.cFileName[0] != L'.' && (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            order.push_back(entry.cFileName);
    } while (FindNextFileW(find, &entry));
    FindClose(find);
    ASSERT_EQ(2u, order.size());
    std::vector<std::wstring> expected = {m_folder + L"\\top.dmp"};
    for (const std::wstring& sub : order) {
        const std::wstring first = sub == L"x" ? L"1.dmp" : L"3.dmp", second = sub == L"x" ? L"2.dmp" : L"4.dmp";
        expected.push_back(m_folder + L"\\" + sub + L"\\" + first);
        expected.push_back(m_folder + L"\\" + sub + L"\\inner\\" + second);
    }
    EXPECT_EQ(expected, Paths(dumps));
}

TEST_F(DumpTest, MissingFolderIsTracedAndEndsQuietly) {
    const std::wstring missing = m_folder + L"\\missing";
    std::list<Dump::FileInfo> dumps;
    std::vector<std::string> lines;
    {
        TraceCapture trace(m_traceFolder);
        DiagReport::EnumerateFolder_Recursive(missing, dumps, {Now(), 10080});
        lines = trace.Lines();
    }
    EXPECT_TRUE(dumps.empty());
    const std::vector<std::string> expected = {"W> [DiagReport::EnumerateFolder] FindFirstFile(\"\\\\?\\" +
                                               Narrow(missing) + "\\*\"), 0x00000003"};
    EXPECT_EQ(expected, lines);
}

// ---------------------------------------------------------------------------
// Drives and disks of the prefix: C:, D: and E: are local disks.

// Disk numbers that the tests hand out instead of the storage drivers: the
// number of each letter C, D, E in turn; '?' raises as the drivers' failure,
// 'H' never returns, as a driver that does not answer.
std::wstring DisksOf;
DWORD DiskOf(wchar_t letter) {
    const wchar_t disk = DisksOf.at(letter - L'C');
    if (disk == L'H') Sleep(INFINITE);
    if (disk == L'?') CvBase::ThrowError(ERROR_INVALID_FUNCTION, L"utility", 392, L"GetDiskIdByDriveLetter");
    return disk - L'0';
}

class DrivesTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_traceFolder = MakeTempFolder(L"dumps-trace");
        for (const wchar_t letter : {L'C', L'D', L'E'}) {
            const std::wstring folder = std::wstring(1, letter) + L":\\dumps-test";
            DeleteTree(folder);
            ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr)) << Narrow(folder);
            ASSERT_TRUE(Plant(folder + L"\\found.dmp", Minidump, Now()));
            m_folders.push_back(folder);
        }
        m_report.Drives = {{L'C', true, true}, {L'D', true, true}, {L'E', true, true}, {L'P', false, false}};
        m_report.GetDiskId = DiskOf;
    }
    void TearDown() override {
        for (const std::wstring& folder : m_folders) DeleteTree(folder);
        DeleteTree(m_traceFolder);
    }

    std::vector<std::wstring> Find(std::vector<std::string>& lines) {
        std::list<Dump::FileInfo> dumps;
        {
            TraceCapture trace(m_traceFolder);
            m_report.Find_Dumps(dumps, 10080);
            lines = trace.Lines();
        }
        return PathsBelow(dumps, m_folders);
    }
    static std::vector<std::string> DiskLines(const std::vector<std::string>& lines) {
        std::vector<std::string> disks;
        for (const std::string& line : lines)
            if (line.find("HardDisk:") != std::string::npos || line.find("searched alone") != std::string::npos)
                disks.push_back(line);
        std::sort(disks.begin(), disks.end());  // the tasks run at the same time
        return disks;
    }

    DiagReport m_report;
    std::vector<std::wstring> m_folders;
    std::wstring m_traceFolder;
};

TEST_F(DrivesTest, OneTaskPerDiskMergedInDiskOrder) {
    struct Case {
        const wchar_t* disks;  // of C, D, E
        const char* order;     // of the found dumps
        std::vector<std::string> diskLines;
    } cases[] = {
        {L"001", "CDE", {"[Dump::SearchDisk] HardDisk: [0, CD]", "[Dump::SearchDisk] HardDisk: [1, E]"}},
        {L"100", "DEC", {"[Dump::SearchDisk] HardDisk: [0, DE]", "[Dump::SearchDisk] HardDisk: [1, C]"}},
        {L"202", "DCE", {"[Dump::SearchDisk] HardDisk: [0, D]", "[Dump::SearchDisk] HardDisk: [2, CE]"}},
        // A drive whose disk cannot be read is still searched, alone, after the disks.
        {L"?01", "DEC",
         {"W> [DiagReport::Find_Dumps] Disk of \"C:\" unknown, 0x00000001: searched alone",
          "[Dump::SearchDisk] HardDisk: [0, D]", "[Dump::SearchDisk] HardDisk: [1, E]",
          "[Dump::SearchDisk] HardDisk: [unknown, C]"}},
        {L"?0?", "DCE",
         {"W> [DiagReport::Find_Dumps] Disk of \"C:\" unknown, 0x00000001: searched alone",
          "W> [DiagReport::Find_Dumps] Disk of \"E:\" unknown, 0x00000001: searched alone",
          "[Dump::SearchDisk] HardDisk: [0, D]", "[Dump::SearchDisk] HardDisk: [unknown, C]",
          "[Dump::SearchDisk] HardDisk: [unknown, E]"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.disks));
        DisksOf = c.disks;
        std::vector<std::string> lines;
        const std::vector<std::wstring> found = Find(lines);
        std::vector<std::wstring> expected;
        for (const char* letter = c.order; *letter; ++letter)
            expected.push_back(std::wstring(1, *letter) + L":\\dumps-test\\found.dmp");
        EXPECT_EQ(expected, found);
        std::vector<std::string> diskLines = c.diskLines;
        std::sort(diskLines.begin(), diskLines.end());
        EXPECT_EQ(diskLines, DiskLines(lines));
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ("[DiagReport::Find_Dumps] Dumps older then [7D 0H 0M] will be skipped", lines.front());
        for (const char* letter = c.order; *letter; ++letter) {
            const std::string root = std::string(1, *letter) + ":";
            EXPECT_TRUE(Contains(lines, "[Dump::SearchDisk] Enumerate \"" + root + "\" <<")) << root;
        }
    }
}

TEST_F(DrivesTest, HungDiskNumberQueryLeavesEveryDriveToBeSearchedAlone) {
    DisksOf = L"0H1";
    m_report.Limits.Call = 300;
    std::vector<std::string> lines;
    const std::vector<std::wstring> found = Find(lines);
    EXPECT_EQ((std::vector<std::wstring>{L"C:\\dumps-test\\found.dmp", L"D:\\dumps-test\\found.dmp",
                                         L"E:\\dumps-test\\found.dmp"}),
              found);
    EXPECT_TRUE(HasTracedLine(lines, "[DiagReport::Find_Dumps] Disk numbers: expired (0#300 sec), abandoned"));
    EXPECT_TRUE(Contains(lines, "[Dump::SearchDisk] HardDisk: [unknown, D]"));
}

TEST_F(DrivesTest, NoLocalDiskNoSearch) {
    for (DriveEntry& drive : m_report.Drives) drive.IsLocalDisk = false;
    DisksOf = L"001";
    std::list<Dump::FileInfo> dumps;
    std::vector<std::string> lines;
    {
        TraceCapture trace(m_traceFolder);
        m_report.Find_Dumps(dumps, 10080);
        lines = trace.Lines();
    }
    EXPECT_TRUE(dumps.empty());
    const std::vector<std::string> expected = {
        "[DiagReport::Find_Dumps] Dumps older then [7D 0H 0M] will be skipped"};
    EXPECT_EQ(expected, lines);
}

TEST_F(DrivesTest, RecycleBinAndFriendsSkippedOnlyWhenHiddenDirectlyUnderARoot) {
    struct Case {
        const wchar_t* folder;
        bool hidden;
        bool listed;
    } cases[] = {
        {L"D:\\$rEcYcLe.bIn", true, false},
        {L"D:\\system volume information", true, false},
        {L"D:\\Config.Msi", true, false},
        {L"E:\\$Recycle.Bin", false, true},
        {L"D:\\dumps-test\\$Recycle.Bin", true, true},
        {L"D:\\dumps-test\\Recovery", true, true},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(CreateDirectoryW(c.folder, nullptr)) << Narrow(c.folder);
        ASSERT_TRUE(Plant(std::wstring(c.folder) + L"\\in.dmp", Minidump, Now()));
        if (c.hidden) {
            ASSERT_TRUE(SetFileAttributesW(c.folder, FILE_ATTRIBUTE_HIDDEN));
        }
        if (!wcsstr(c.folder, L"dumps-test")) m_folders.push_back(c.folder);
    }
    DisksOf = L"001";
    std::vector<std::string> lines;
    const std::vector<std::wstring> found = Find(lines);
    for (const Case& c : cases) {
        const std::wstring path = std::wstring(c.folder) + L"\\in.dmp";
        EXPECT_EQ(c.listed, std::count(found.begin(), found.end(), path) == 1) << Narrow(path);
    }
}

TEST_F(DrivesTest, LinksAreNotEntered) {
    // D:\loop\back is a link to D:\loop, made by the test's script.
    ASSERT_TRUE(Plant(L"D:\\loop\\in.dmp", Minidump, Now()));
    DisksOf = L"001";
    std::vector<std::string> lines;
    m_folders.push_back(L"D:\\loop");
    const std::vector<std::wstring> found = Find(lines);
    DeleteFileW(L"D:\\loop\\in.dmp");
    m_folders.pop_back();
    EXPECT_EQ(1, std::count(found.begin(), found.end(), L"D:\\loop\\in.dmp"));
    EXPECT_TRUE(Contains(lines, "[DiagReport::EnumerateFolder] \"D:\\loop\\back\": reparse point, not entered"));
}

}  // namespace
