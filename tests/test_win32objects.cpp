#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "Sha256.h"
#include "Win32Objects.h"
#include "buffer.h"
#include "cvexception.h"
#include "test_util.h"

using CvBase::CBuffer;
using CvBase::CCvError;
using CvBase::CWin32File;
using CvBase::CWin32Handle;

namespace {

std::wstring Entry(const CCvError& e, const wchar_t* name) {
    const std::wstring* text = e.FindEntry(name);
    return text ? *text : L"<none>";
}

void ExpectError(const CCvError& e, DWORD code, const wchar_t* file, unsigned line, const wchar_t* function) {
    EXPECT_EQ(code, e.GetCode());
    EXPECT_EQ(file, Entry(e, L"File"));
    EXPECT_EQ(std::to_wstring(line), Entry(e, L"Line"));
    EXPECT_EQ(function, Entry(e, L"Function"));
}

// A fresh folder in the temporary folder, removed with its files.
class FileTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = TempFolder() + L"CvWin32ObjectsTest." + std::to_wstring(GetCurrentProcessId());
        ASSERT_TRUE(CreateDirectoryW(folder_.c_str(), nullptr));
    }
    void TearDown() override {
        for (const std::wstring& file : files_) DeleteFileW(file.c_str());
        RemoveDirectoryW(folder_.c_str());
    }
    std::wstring File(const wchar_t* name) {
        files_.push_back(folder_ + L"\\" + name);
        return files_.back();
    }
    static std::string Read(const std::wstring& path) {
        HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               0, nullptr);
        if (h == INVALID_HANDLE_VALUE) return "<cannot open>";
        char buffer[256];
        DWORD read = 0;
        ReadFile(h, buffer, sizeof(buffer), &read, nullptr);
        ::CloseHandle(h);
        return std::string(buffer, read);
    }
    // Whether another opener can get the file for writing; an exclusive open
    // elsewhere makes this fail with a sharing violation.
    static bool CanOpen(const std::wstring& path) {
        HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) return false;
        ::CloseHandle(h);
        return true;
    }

    std::wstring folder_;
    std::vector<std::wstring> files_;
};

}  // namespace

// ---- CWin32File ----

TEST_F(FileTest, OpenWriteSeekAppend) {
    const std::wstring path = File(L"a.log");
    {
        CWin32File file;
        EXPECT_TRUE(file.Open_Ex(path.c_str(), GENERIC_WRITE, CREATE_ALWAYS));
        EXPECT_TRUE(file.IsValid());
        EXPECT_EQ(path, file.GetName());
        file.Write_Ex("abc", 3);
    }
    CWin32File file;
    file.Open_Ex(path.c_str(), GENERIC_WRITE, OPEN_EXISTING);
    EXPECT_EQ(0u, file.SeekToEnd());
    file.Write_Ex("def", 3);
    file.Close();
    EXPECT_FALSE(file.IsValid());
    EXPECT_EQ("abcdef", Read(path));
}

TEST_F(FileTest, OpenInMissingFolderThrowsPathNotFound) {
    CWin32File file;
    const std::wstring path = folder_ + L"\\missing\\a.log";
    try {
        file.Open_Ex(path.c_str(), GENERIC_WRITE, OPEN_ALWAYS);
        FAIL() << "no error";
    } catch (const CCvError& e) {
        ExpectError(e, ERROR_PATH_NOT_FOUND, L"Win32Objects", 175, L"CvBase::CWin32File::Open_Ex");
    }
    EXPECT_FALSE(file.IsValid());
}

TEST_F(FileTest, OpenClosesTheFileHeldBefore) {
    const std::wstring first = File(L"first.log"), second = File(L"second.log");
    CWin32File file;
    file.Open_Ex(first.c_str(), GENERIC_WRITE, CREATE_ALWAYS, 0);
    ASSERT_FALSE(CanOpen(first));
    file.Open_Ex(second.c_str(), GENERIC_WRITE, CREATE_ALWAYS, 0);
    EXPECT_TRUE(CanOpen(first));
    EXPECT_FALSE(CanOpen(second));
}

TEST_F(FileTest, DestructorClosesTheFile) {
    const std::wstring path = File(L"a.log");
    {
        CWin32File file;
        file.Open_Ex(path.c_str(), GENERIC_WRITE, CREATE_ALWAYS, 0);
        ASSERT_FALSE(CanOpen(path));
    }
    EXPECT_TRUE(CanOpen(path));
}

TEST_F(FileTest, DetachLeavesTheHandleOpen) {
    const std::wstring path = File(L"a.log");
    HANDLE detached;
    {
        CWin32File file;
        file.Open_Ex(path.c_str(), GENERIC_WRITE, CREATE_ALWAYS, 0);
        detached = file.Detach();
        EXPECT_FALSE(file.IsValid());
        EXPECT_FALSE(static_cast<bool>(file));
    }
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(detached, "xyz", 3, &written, nullptr));
    EXPECT_FALSE(CanOpen(path));
    ::CloseHandle(detached);
    EXPECT_EQ("xyz", Read(path));
}

TEST_F(FileTest, AttachClosesTheHandleHeldBefore) {
    const std::wstring first = File(L"first.log"), second = File(L"second.log");
    HANDLE other = CreateFileW(second.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, other);
    CWin32Handle handle(CreateFileW(first.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(handle.IsValid());
    handle.Attach(other);
    EXPECT_TRUE(CanOpen(first));
    EXPECT_EQ(other, handle.Get());
    EXPECT_EQ(other, static_cast<HANDLE>(handle));
}

TEST_F(FileTest, FileFailuresCarryTheirPlace) {
    const std::wstring path = File(L"a.log");
    CWin32File file;
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), file.SeekToEnd());
    try {
        file.Write_Ex("x", 1);
        FAIL() << "no error on a closed file";
    } catch (const CCvError& e) {
        ExpectError(e, ERROR_INVALID_HANDLE, L"Win32Objects", 209, L"CvBase::CWin32File::Write_Ex");
    }
    file.Open_Ex(path.c_str(), GENERIC_READ, CREATE_ALWAYS);
    try {
        file.Write_Ex("x", 1);
        FAIL() << "no error on a file opened for reading";
    } catch (const CCvError& e) {
        ExpectError(e, ERROR_ACCESS_DENIED, L"Win32Objects", 209, L"CvBase::CWin32File::Write_Ex");
    }
}

// ---- Auto:: deleters ----

std::string Sha256Of(const std::string& bytes) {
    CvBase::CSha256 digest;
    digest.Update(bytes.data(), bytes.size());
    return digest.FinishHex();
}

// Files fed to the queue one after another, in pieces of any size: each ended
// file has the digest of exactly its bytes, also across the queue's own pieces
// and when more comes in than the queue holds; a file that never ended has none
// and costs the next file nothing; digests can be asked for part way.
TEST(Sha256Queue, DigestsOfFilesFedInPiecesOfAnySize) {
    std::string large(3 * 1024 * 1024 + 17, '\0');
    for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 7 + i / 4096);
    const std::string huge(9 * 1024 * 1024, 'h');
    std::map<size_t, std::string> expected = {
        {0, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},  // "abc"
        {1, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},  // empty
        {2, Sha256Of(large)},
    };
    CvBase::CSha256Queue queue;
    queue.Update(0, "abc", 3);
    queue.End(0);
    queue.End(1);
    for (size_t at = 0; at < large.size(); at += 32768)
        queue.Update(2, large.data() + at, std::min<size_t>(32768, large.size() - at));
    queue.End(2);
    EXPECT_EQ(expected, queue.Digests());

    queue.Update(3, "never ended", 11);
    queue.Update(4, "a", 1);
    queue.Update(4, "bc", 2);
    queue.End(4);
    expected[4] = expected[0];
    queue.Update(5, huge.data(), huge.size());
    queue.End(5);
    expected[5] = Sha256Of(huge);
    for (size_t file = 6; file < 2006; ++file) {
        const std::string text = "file " + std::to_string(file);
        queue.Update(file, text.data(), text.size());
        queue.End(file);
        expected[file] = Sha256Of(text);
    }
    EXPECT_EQ(expected, queue.Digests());
}

TEST(AutoDeleters, NullPointerThrowsAssertionFailure) {
    struct Case {
        void (*deleter)(HANDLE*);
        unsigned line;
        const wchar_t* function;
    };
    for (const Case& c :
         {Case{Auto::CloseHandle, 38, L"Auto::CloseHandle"}, Case{Auto::FindClose, 53, L"Auto::FindClose"}}) {
        try {
            c.deleter(nullptr);
            ADD_FAILURE() << "no error from " << c.function;
        } catch (const CCvError& e) {
            ExpectError(e, 668 /* ERROR_ASSERTION_FAILURE */, L"utility", c.line, c.function);
        }
    }
}

TEST(AutoDeleters, CloseHandleClearsAClosedHandle) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, event);
    HANDLE copy = event;
    Auto::CloseHandle(&copy);
    EXPECT_EQ(nullptr, copy);
    DWORD flags = 0;
    EXPECT_FALSE(GetHandleInformation(event, &flags));  // really closed
}

TEST(AutoDeleters, FindCloseClearsAClosedSearch) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((TempFolder() + L"*").c_str(), &data);
    ASSERT_NE(INVALID_HANDLE_VALUE, find);
    Auto::FindClose(&find);
    EXPECT_EQ(nullptr, find);
}

TEST(AutoDeleters, FailureToCloseLeavesTheHandle) {
    HANDLE bogus = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x0BADF00C));
    for (void (*deleter)(HANDLE*) : {Auto::CloseHandle, Auto::FindClose}) {
        HANDLE handle = bogus;
        EXPECT_NO_THROW(deleter(&handle));
        EXPECT_EQ(bogus, handle);
    }
}

// ---- CBuffer ----

TEST(Buffer, ElementsAreZeroAndResizeDropsThem) {
    CBuffer<wchar_t> buffer(4);
    ASSERT_EQ(4u, buffer.GetCount());
    ASSERT_NE(nullptr, buffer.Get());
    EXPECT_TRUE(std::all_of(buffer.Get(), buffer.Get() + 4, [](wchar_t c) { return c == 0; }));
    std::fill(buffer.Get(), buffer.Get() + 4, L'x');
    buffer.Resize(8);
    ASSERT_EQ(8u, buffer.GetCount());
    EXPECT_TRUE(std::all_of(buffer.Get(), buffer.Get() + 8, [](wchar_t c) { return c == 0; }));
    buffer.Resize(0);
    EXPECT_EQ(0u, buffer.GetCount());
    EXPECT_EQ(nullptr, buffer.Get());
}

TEST(Buffer, FailedAllocationThrowsOutOfMemoryAndLeavesItEmpty) {
    // More than any address space holds, yet below the largest object size.
    const size_t tooMany = size_t(1) << 61;
    CBuffer<wchar_t> wide(16);
    try {
        wide.Resize(tooMany);
        FAIL() << "no error";
    } catch (const CCvError& e) {
        ExpectError(e, ERROR_OUTOFMEMORY, L"Common\\CvBaseLib\\buffer", 83, L"CvBase::CBuffer<wchar_t>::Resize");
    }
    EXPECT_EQ(0u, wide.GetCount());
    EXPECT_EQ(nullptr, wide.Get());
    try {
        CBuffer<unsigned char> bytes(size_t(1) << 62);
        FAIL() << "no error";
    } catch (const CCvError& e) {
        ExpectError(e, ERROR_OUTOFMEMORY, L"Common\\CvBaseLib\\buffer", 83, L"CvBase::CBuffer<unsigned char>::Resize");
    }
}

// ---- JoinPath ----

struct JoinCase {
    const wchar_t* first;
    const wchar_t* second;
    wchar_t separator;
    const wchar_t* joined;
};

class JoinPathTest : public ::testing::TestWithParam<JoinCase> {};

TEST_P(JoinPathTest, Joins) {
    const JoinCase& c = GetParam();
    EXPECT_EQ(c.joined, JoinPath(c.first, c.second, c.separator));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, JoinPathTest,
    ::testing::Values(JoinCase{L"C:\\a", L"b", L'\\', L"C:\\a\\b"}, JoinCase{L"C:\\a\\", L"\\b", L'\\', L"C:\\a\\b"},
                      JoinCase{L"", L"b", L'\\', L"b"}, JoinCase{L"C:\\a\\", L"b", L'\\', L"C:\\a\\b"},
                      JoinCase{L"C:\\a", L"\\b", L'\\', L"C:\\a\\b"}, JoinCase{L"", L"\\b", L'\\', L"\\b"},
                      JoinCase{nullptr, L"b", L'\\', L"b"}, JoinCase{L"C:\\a", nullptr, L'\\', L"C:\\a"},
                      JoinCase{nullptr, nullptr, L'\\', L""}, JoinCase{L"a/", L"/b", L'/', L"a/b"},
                      JoinCase{L"a\\", L"b", L'/', L"a\\/b"}));

// ---- GetSystemFolderPath ----

// First in its suite, so that the threads make the first lookup of the system folder.
TEST(SystemFolder, ConcurrentFirstUseAgrees) {
    wchar_t system[MAX_PATH + 1];
    ASSERT_NE(0u, GetSystemDirectoryW(system, MAX_PATH + 1));
    std::vector<std::wstring> results(8);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < results.size(); ++i)
        threads.emplace_back([&results, i] { results[i] = GetSystemFolderPath(1, L"x"); });
    for (std::thread& t : threads) t.join();
    for (const std::wstring& result : results) EXPECT_EQ(std::wstring(system) + L"\\x", result);
}

TEST(SystemFolder, TemporaryFolderAndNameHaveOneBackslash) {
    const std::wstring temp = TempFolder();
    ASSERT_EQ(L'\\', temp.back());
    const std::wstring path = GetSystemFolderPath(3, L"x.log");
    EXPECT_EQ(temp + L"x.log", path);
    EXPECT_EQ(std::wstring::npos, path.find(L"\\\\"));
}

TEST(SystemFolder, EachKindGivesItsFolder) {
    wchar_t windows[MAX_PATH + 1], system[MAX_PATH + 1];
    ASSERT_NE(0u, GetWindowsDirectoryW(windows, MAX_PATH + 1));
    ASSERT_NE(0u, GetSystemDirectoryW(system, MAX_PATH + 1));
    EXPECT_EQ(windows, GetSystemFolderPath(0, nullptr));
    EXPECT_EQ(std::wstring(system) + L"\\cmd.exe", GetSystemFolderPath(1, L"cmd.exe"));
    EXPECT_EQ(L"", GetSystemFolderPath(4, L"x.log"));
    EXPECT_EQ(L"", GetSystemFolderPath(-1, L"x.log"));
}

// The programs folder comes from the registry, so its lookup can be made to fail.
TEST(SystemFolder, ProgramsFolderIsRetriedAfterAFailureAndThenKept) {
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion", 0,
                                           KEY_QUERY_VALUE | KEY_SET_VALUE, &key));
    wchar_t saved[MAX_PATH + 1] = {};
    DWORD size = sizeof(saved) - sizeof(wchar_t);
    ASSERT_EQ(ERROR_SUCCESS,
              RegQueryValueExW(key, L"ProgramFilesDir", nullptr, nullptr, reinterpret_cast<BYTE*>(saved), &size));
    auto set = [&](const wchar_t* value) {
        RegSetValueExW(key, L"ProgramFilesDir", 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                       static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t)));
    };

    ASSERT_EQ(ERROR_SUCCESS, RegDeleteValueW(key, L"ProgramFilesDir"));
    const std::wstring whileMissing = GetSystemFolderPath(2, L"x");
    set(saved);
    const std::wstring afterRestore = GetSystemFolderPath(2, L"x");
    set(L"C:\\Elsewhere");
    const std::wstring afterChange = GetSystemFolderPath(2, L"x");
    set(saved);
    RegCloseKey(key);

    EXPECT_EQ(L"x", whileMissing);
    EXPECT_EQ(std::wstring(saved) + L"\\x", afterRestore);
    EXPECT_EQ(afterRestore, afterChange);
}
