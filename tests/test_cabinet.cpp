// The cabinet writer: what lands in the cabinet (read back with the cabinet
// library's own FDI), progress, and the failures it reports.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <fdi.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "Cabinet.h"
#include "Sha256.h"
#include "cvexception.h"

using CvBase::CCvError;

namespace {

// ---- Reading a cabinet back through FDI, entirely in memory ----

struct CabEntry {
    std::string name;
    USHORT date = 0;
    USHORT time = 0;
    USHORT attributes = 0;
    std::string data;
};

// One open FDI "file": the cabinet being read, or the data of one entry.
struct MemoryFile {
    const std::string* source = nullptr;
    std::string* sink = nullptr;
    size_t position = 0;
};

const std::string* g_cabinetBytes = nullptr;  // what FDI opens

void* __cdecl FdiAlloc(ULONG size) { return malloc(size); }
void __cdecl FdiFree(void* memory) { free(memory); }
INT_PTR __cdecl FdiOpen(char*, int, int) {
    return reinterpret_cast<INT_PTR>(new MemoryFile{g_cabinetBytes, nullptr, 0});
}
UINT __cdecl FdiRead(INT_PTR handle, void* buffer, UINT size) {
    auto* file = reinterpret_cast<MemoryFile*>(handle);
    const size_t count = std::min<size_t>(size, file->source->size() - std::min(file->position, file->source->size()));
    memcpy(buffer, file->source->data() + file->position, count);
    file->position += count;
    return static_cast<UINT>(count);
}
UINT __cdecl FdiWrite(INT_PTR handle, void* buffer, UINT size) {
    reinterpret_cast<MemoryFile*>(handle)->sink->append(static_cast<const char*>(buffer), size);
    return size;
}
int __cdecl FdiClose(INT_PTR handle) {
    delete reinterpret_cast<MemoryFile*>(handle);
    return 0;
}
LONG __cdecl FdiSeek(INT_PTR handle, LONG distance, int origin) {
    auto* file = reinterpret_cast<MemoryFile*>(handle);
    const LONG base = origin == SEEK_SET ? 0 : origin == SEEK_CUR ? static_cast<LONG>(file->position)
                                                                  : static_cast<LONG>(file->source->size());
    file->position = base + distance;
    return static_cast<LONG>(file->position);
}
INT_PTR __cdecl FdiNotify(FDINOTIFICATIONTYPE type, PFDINOTIFICATION info) {
    auto* entries = static_cast<std::vector<CabEntry>*>(info->pv);
    switch (type) {
        case fdintCOPY_FILE: {
            entries->push_back({info->psz1, info->date, info->time, info->attribs, {}});
            return reinterpret_cast<INT_PTR>(new MemoryFile{nullptr, &entries->back().data, 0});
        }
        case fdintCLOSE_FILE_INFO:
            FdiClose(info->hf);
            return TRUE;
        default:
            return 0;
    }
}

std::string ReadBytes(const std::wstring& path) {
    std::string bytes;
    if (FILE* file = _wfopen(path.c_str(), L"rb")) {
        char buffer[65536];
        size_t count;
        while ((count = fread(buffer, 1, sizeof buffer, file)) > 0) bytes.append(buffer, count);
        fclose(file);
    }
    return bytes;
}

void WriteBytes(const std::wstring& path, const std::string& bytes) {
    FILE* file = _wfopen(path.c_str(), L"wb");
    ASSERT_NE(nullptr, file) << "cannot write the test file";
    fwrite(bytes.data(), 1, bytes.size(), file);
    fclose(file);
}

// The entries of a cabinet in their stored order; fails the test when FDI
// cannot read it.
std::vector<CabEntry> ReadCabinet(const std::wstring& path) {
    const std::string bytes = ReadBytes(path);
    std::vector<CabEntry> entries;
    ERF erf = {};
    HFDI fdi = FDICreate(FdiAlloc, FdiFree, FdiOpen, FdiRead, FdiWrite, FdiClose, FdiSeek, cpuUNKNOWN, &erf);
    EXPECT_NE(nullptr, fdi);
    if (!fdi) return entries;
    g_cabinetBytes = &bytes;
    char name[] = "packed.cab";
    char folder[] = "";
    EXPECT_TRUE(FDICopy(fdi, name, folder, 0, FdiNotify, nullptr, &entries))
        << "FDI: operation " << erf.erfOper << ", type " << erf.erfType;
    FDIDestroy(fdi);
    g_cabinetBytes = nullptr;
    return entries;
}

// ---- Helpers ----

std::string Utf8(const std::wstring& text) { return std::filesystem::path(text).u8string(); }

// Letters told apart by their place: the Cyrillic alphabet over and over.
std::wstring CyrillicLetters(size_t count) {
    std::wstring letters;
    for (size_t i = 0; i < count; ++i) letters += static_cast<wchar_t>(0x0430 + i % 32);
    return letters;
}

std::wstring Repeat(const std::wstring& text, size_t count) {
    std::wstring repeated;
    for (size_t i = 0; i < count; ++i) repeated += text;
    return repeated;
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::wstring Entry(const CCvError& e, const wchar_t* name) {
    const std::wstring* text = e.FindEntry(name);
    return text ? *text : L"<none>";
}

// The description (in the product's language) holds each insert, in order.
void ExpectInserts(const CCvError& e, std::initializer_list<std::wstring> inserts) {
    const std::wstring description = e.GetDescription();
    size_t from = 0;
    for (const std::wstring& insert : inserts) {
        const size_t at = description.find(insert, from);
        EXPECT_NE(std::wstring::npos, at) << "no " << testing::PrintToString(insert) << " in "
                                          << testing::PrintToString(description);
        if (at != std::wstring::npos) from = at + insert.size();
    }
}

// Data of a given size that does not compress to nothing.
std::string SampleData(size_t size, unsigned seed) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        seed = seed * 1103515245u + 12345u;
        data[i] = i % 3 ? static_cast<char>('a' + i % 26) : static_cast<char>(seed >> 16);
    }
    return data;
}

// Records every OnProgress call.
class ProgressLog : public Cabinet::Compress::Callback {
public:
    struct Call {
        std::optional<std::wstring> next;
        double percent;
    };
    int OnProgress(const wchar_t* nextFileOrNull, double percent) override {
        calls.push_back({nextFileOrNull ? std::optional<std::wstring>(nextFileOrNull) : std::nullopt, percent});
        return 0;
    }
    std::vector<Call> calls;
};

// Sets an environment variable for the life of the object.
class ScopedEnvironment {
public:
    ScopedEnvironment(const wchar_t* name, const std::wstring& value) : m_name(name) {
        wchar_t old[32768];
        const DWORD length = GetEnvironmentVariableW(name, old, 32768);
        if (length > 0 && length < 32768) m_old = std::wstring(old, length);
        SetEnvironmentVariableW(name, value.c_str());
    }
    ~ScopedEnvironment() { SetEnvironmentVariableW(m_name, m_old ? m_old->c_str() : nullptr); }

private:
    const wchar_t* m_name;
    std::optional<std::wstring> m_old;
};

// ---- The fixture: a fresh folder for each test ----

class CabinetTest : public ::testing::Test {
protected:
    void SetUp() override {
        static int counter = 0;
        wchar_t temp[MAX_PATH + 1];
        const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
        ASSERT_TRUE(length > 0 && length <= MAX_PATH);
        m_folder = std::wstring(temp, length) + L"cabtest_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                   std::to_wstring(++counter);
        RemoveTree(m_folder);  // left by an earlier run of a process with the same id
        ASSERT_TRUE(CreateDirectoryW(m_folder.c_str(), nullptr));
    }
    void TearDown() override { RemoveTree(m_folder); }

    // Removes a folder with everything in it, read-only files included.
    static void RemoveTree(const std::wstring& folder) {
        std::error_code ignored;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(folder, ignored))
            SetFileAttributesW(entry.path().c_str(), FILE_ATTRIBUTE_NORMAL);
        std::filesystem::remove_all(std::filesystem::path(folder), ignored);
    }

    std::wstring Path(const std::wstring& name) const { return m_folder + L"\\" + name; }

    std::wstring MakeFile(const std::wstring& name, const std::string& data) {
        const std::wstring path = Path(name);
        WriteBytes(path, data);
        return path;
    }

    std::wstring m_folder;
};

TEST_F(CabinetTest, StoresEachFileUnderItsFolderWithItsDataInListOrder) {
    struct Case {
        const wchar_t* folder;
        const wchar_t* file;
        size_t size;
        bool readOnly;
        const char* stored;
    };
    const Case cases[] = {
        {L"Logs\\System", L"a.log", 1000, false, "Logs\\System\\a.log"},
        {L"", L"b.log", 0, false, "b.log"},
        {L"Logs\\", L"c.log", 200000, false, "Logs\\c.log"},  // several 32 KB blocks
        {L"Cfg", L"d.ini", 77, true, "Cfg\\d.ini"},
    };
    std::vector<PackItem> list;
    unsigned seed = 1;
    std::vector<std::string> data;
    for (const Case& c : cases) {
        data.push_back(SampleData(c.size, seed++));
        const std::wstring path = MakeFile(c.file, data.back());
        if (c.readOnly) SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY);
        list.push_back({path, c.folder, false});
    }
    const std::wstring cab = Path(L"out.cab");

    Cabinet_CompressFiles(cab, list, nullptr);

    const std::vector<CabEntry> entries = ReadCabinet(cab);
    ASSERT_EQ(std::size(cases), entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        SCOPED_TRACE(cases[i].stored);
        EXPECT_EQ(cases[i].stored, entries[i].name);
        EXPECT_TRUE(entries[i].data == data[i]) << "data differs, " << entries[i].data.size() << " bytes";
        EXPECT_EQ(cases[i].readOnly, (entries[i].attributes & _A_RDONLY) != 0);
        EXPECT_EQ(0, entries[i].attributes & (_A_NAME_IS_UTF | _A_EXEC));
    }
}

TEST_F(CabinetTest, MissingFileIsLeftOutAndProgressCountsEveryFile) {
    const std::vector<PackItem> list = {
        {MakeFile(L"one.txt", "one"), L"", false},
        {Path(L"missing.txt"), L"", false},
        {MakeFile(L"three.txt", "three"), L"", false},
    };
    const std::wstring cab = Path(L"out.cab");
    ProgressLog progress;

    Cabinet_CompressFiles(cab, list, &progress);

    const std::vector<CabEntry> entries = ReadCabinet(cab);
    ASSERT_EQ(2u, entries.size());
    EXPECT_EQ("one.txt", entries[0].name);
    EXPECT_EQ("one", entries[0].data);
    EXPECT_EQ("three.txt", entries[1].name);
    EXPECT_EQ("three", entries[1].data);

    const std::vector<ProgressLog::Call> expected = {
        {list[0].Source, 0.0}, {list[1].Source, 100.0 / 3}, {list[2].Source, 200.0 / 3}, {std::nullopt, 100.0}};
    ASSERT_EQ(expected.size(), progress.calls.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(expected[i].next, progress.calls[i].next);
        EXPECT_NEAR(expected[i].percent, progress.calls[i].percent, 1e-9);
    }
}

TEST_F(CabinetTest, EmptyListMakesNoCabinetAndNoCallback) {
    const std::wstring cab = Path(L"out.cab");
    ProgressLog progress;

    Cabinet_CompressFiles(cab, {}, &progress);

    EXPECT_FALSE(Exists(cab));
    EXPECT_TRUE(progress.calls.empty());
}

TEST_F(CabinetTest, StoredDateAndTimeAreTheCreationTimeInLocalTime) {
    const std::wstring path = MakeFile(L"dated.log", "dated");
    {
        HANDLE file = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file);
        SYSTEMTIME createdAt = {2011, 3, 5, 4, 5, 6, 8, 0}, writtenAt = {2002, 7, 1, 8, 9, 10, 12, 0};
        FILETIME created, written;
        SystemTimeToFileTime(&createdAt, &created);
        SystemTimeToFileTime(&writtenAt, &written);
        SetFileTime(file, &created, nullptr, &written);
        CloseHandle(file);
    }
    WIN32_FILE_ATTRIBUTE_DATA info;
    ASSERT_TRUE(GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &info));
    auto toDos = [](FILETIME utc, WORD& date, WORD& time) {
        ULARGE_INTEGER ticks = {{utc.dwLowDateTime, utc.dwHighDateTime}};
        ticks.QuadPart -= ticks.QuadPart % 10000000;  // whole seconds
        const FILETIME whole = {ticks.LowPart, ticks.HighPart};
        FILETIME local;
        ASSERT_TRUE(FileTimeToLocalFileTime(&whole, &local));
        ASSERT_TRUE(FileTimeToDosDateTime(&local, &date, &time));
    };
    // Where the file system keeps no creation time of its own (Wine reports the
    // last-write time for it) this checks only the conversion to local time,
    // which CTest runs in a time zone away from UTC.
    WORD createdDate = 0, createdTime = 0;
    toDos(info.ftCreationTime, createdDate, createdTime);
    const std::wstring cab = Path(L"out.cab");

    Cabinet_CompressFiles(cab, {{path, L"", false}}, nullptr);

    const std::vector<CabEntry> entries = ReadCabinet(cab);
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ(createdDate, entries[0].date);
    EXPECT_EQ(createdTime, entries[0].time);
}

// Names the ANSI code page holds are stored in it, exactly as they are; any
// other name in UTF-8, flagged. The expected bytes are those of code page 1252.
TEST_F(CabinetTest, NameOutsideAnsiCodePageIsStoredInUtf8WithTheFlag) {
    if (GetACP() != 1252) GTEST_SKIP() << "ANSI code page " << GetACP();
    struct Case {
        std::wstring folder;
        std::wstring file;
        std::string stored;
        bool isUtf;
    };
    const Case cases[] = {
        {L"Logs", L"журнал.log", "Logs\\\xD0\xB6\xD1\x83\xD1\x80\xD0\xBD\xD0\xB0\xD0\xBB.log", true},
        {L"Logs", L"日志文件.log", "Logs\\\xE6\x97\xA5\xE5\xBF\x97\xE6\x96\x87\xE4\xBB\xB6.log", true},
        {L"", L"αρχείο καταγραφής.txt",
         "\xCE\xB1\xCF\x81\xCF\x87\xCE\xB5\xCE\xAF\xCE\xBF \xCE\xBA\xCE\xB1\xCF\x84\xCE\xB1\xCE\xB3\xCF\x81"
         "\xCE\xB1\xCF\x86\xCE\xAE\xCF\x82.txt",
         true},
        // Held by the code page: its own bytes, as before.
        {L"Logs", L"Übersicht é.log", "Logs\\\xDC" "bersicht \xE9.log", false},
        {L"Logs", L"plain.log", "Logs\\plain.log", false},
        // 240 characters, one of them outside the code page.
        {L"Logs", std::wstring(235, L'x') + L"ж.log", "Logs\\" + std::string(235, 'x') + "\xD0\xB6.log", true},
        {L"Logs", std::wstring(236, L'y') + L".log", "Logs\\" + std::string(236, 'y') + ".log", false},
        // Over the format's 255 bytes: shortened in the middle of the file name.
        {L"Logs\\" + CyrillicLetters(60), CyrillicLetters(120) + L".log",
         Utf8(L"Logs\\" + CyrillicLetters(60) + L"\\" + CyrillicLetters(31) + L"~" + CyrillicLetters(120).substr(89) +
              L".log"),
         true},
        // Not a look-alike of a folder break: the full-width reverse solidus.
        {L"", L"a\xFF3C" L"b.log", "a\xEF\xBC\xBC" "b.log", true},
    };
    std::vector<PackItem> list;
    std::vector<std::string> data;
    unsigned seed = 11;
    for (const Case& c : cases) {
        data.push_back(SampleData(1000 + 7 * seed, seed));
        ++seed;
        list.push_back({MakeFile(c.file, data.back()), c.folder, false});
    }
    const std::wstring cab = Path(L"out.cab");

    Cabinet_CompressFiles(cab, list, nullptr);

    const std::vector<CabEntry> entries = ReadCabinet(cab);
    ASSERT_EQ(std::size(cases), entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(cases[i].stored, entries[i].name);
        EXPECT_EQ(cases[i].isUtf, (entries[i].attributes & _A_NAME_IS_UTF) != 0);
        EXPECT_NE(0, entries[i].attributes & _A_ARCH);  // the file's own attributes stay
        EXPECT_TRUE(entries[i].data == data[i]);
    }
}

// The cabinet format holds 255 bytes of a name: a longer one loses characters
// from the middle of its file name, and keeps its folder and extension.
TEST(StoredName, NameOverTheFormatsLimitLosesItsMiddle) {
    const std::wstring stem = CyrillicLetters(240), folder = L"Logs\\" + CyrillicLetters(60) + L"\\";
    struct Case {
        std::wstring name;
        std::wstring stored;
    };
    const Case cases[] = {
        // 5 + 2 * 61 + 1 + 2 * 61 + 4 = 254 bytes.
        {L"Logs\\" + stem + L".log", L"Logs\\" + stem.substr(0, 61) + L"~" + stem.substr(240 - 61) + L".log"},
        {folder + stem.substr(0, 120) + L".log", folder + stem.substr(0, 31) + L"~" + stem.substr(89, 31) + L".log"},
        {L"Logs\\" + stem.substr(0, 126), L"Logs\\" + stem.substr(0, 62) + L"~" + stem.substr(64, 62)},
        // Exactly 255 bytes: kept whole.
        {L"Logs\\" + stem.substr(0, 125), L"Logs\\" + stem.substr(0, 125)},
        // A pair of surrogates (4 bytes) is never split.
        {L"a" + Repeat(L"\xD83D\xDE00", 70), L"a" + Repeat(L"\xD83D\xDE00", 31) + L"~" + Repeat(L"\xD83D\xDE00", 32)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Utf8(c.name));
        const Cabinet::Compress::StoredName stored = Cabinet::Compress::MakeStoredName(c.name);
        EXPECT_EQ(Utf8(c.stored), Utf8(stored.name));
        EXPECT_EQ(Utf8(c.stored), stored.bytes);
        EXPECT_TRUE(stored.isUtf);
        EXPECT_LE(stored.bytes.size(), 255u);
    }
}

TEST(StoredAttributes, FileAttributesAndTheUtf8Flag) {
    struct Case {
        DWORD file;
        bool isUtf;
        USHORT stored;
    };
    const Case cases[] = {
        {FILE_ATTRIBUTE_NORMAL, false, 0},  // NORMAL is the flag's bit: never taken over
        {FILE_ATTRIBUTE_NORMAL, true, _A_NAME_IS_UTF},
        {FILE_ATTRIBUTE_ARCHIVE, false, _A_ARCH},
        {FILE_ATTRIBUTE_ARCHIVE, true, _A_ARCH | _A_NAME_IS_UTF},
        {FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE, false,
         _A_RDONLY | _A_HIDDEN | _A_SYSTEM | _A_ARCH},
        {FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_READONLY, true, _A_RDONLY | _A_NAME_IS_UTF},
        {FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_ARCHIVE, false, _A_ARCH},  // the bit of _A_EXEC
        {FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_TEMPORARY, false,
         FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_TEMPORARY},
        {FILE_ATTRIBUTE_ARCHIVE | 0x400000, false, _A_ARCH},  // recall on data access
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.file << (c.isUtf ? " UTF-8" : ""));
        EXPECT_EQ(c.stored, Cabinet::Compress::StoredAttributes(c.file, c.isUtf));
    }
}

TEST_F(CabinetTest, CabinetPathOutsideAnsiCodePageIsWritten) {
    const std::wstring folder = Path(L"Ελληνικά 数据");
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    const std::wstring cab = folder + L"\\архив 数据.cab";

    Cabinet_CompressFiles(cab, {{MakeFile(L"a.txt", "alpha"), L"", false}}, nullptr);

    const std::vector<CabEntry> entries = ReadCabinet(cab);
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ("alpha", entries[0].data);
}

TEST_F(CabinetTest, CabinetPathWithoutBackslashIsInTheCurrentDirectory) {
    const std::wstring source = MakeFile(L"a.txt", "alpha");
    wchar_t previous[MAX_PATH];
    ASSERT_TRUE(GetCurrentDirectoryW(MAX_PATH, previous));
    ASSERT_TRUE(SetCurrentDirectoryW(m_folder.c_str()));

    Cabinet_CompressFiles(L"plain.cab", {{source, L"", false}}, nullptr);

    SetCurrentDirectoryW(previous);
    EXPECT_EQ(1u, ReadCabinet(Path(L"plain.cab")).size());
}

TEST_F(CabinetTest, CabinetPathMustFitInFciFields) {
    const std::wstring source = MakeFile(L"a.txt", "alpha");
    const std::string folderUtf8 = std::filesystem::path(m_folder + L"\\").u8string();
    const size_t room = 255 - folderUtf8.size() - 4;  // bytes left for the name before ".cab"
    struct Case {
        std::wstring name;
        bool fits;
    };
    const Case cases[] = {
        {std::wstring(room, L'x') + L".cab", true},
        {std::wstring(room + 1, L'x') + L".cab", false},
        // Far below MAX_PATH in characters, but three UTF-8 bytes each.
        {std::wstring(room / 3 + 1, L'\x6570') + L".cab", false},
    };
    for (const Case& c : cases) {
        const std::wstring cab = Path(c.name);
        SCOPED_TRACE(cab.size());
        if (c.fits) {
            Cabinet_CompressFiles(cab, {{source, L"", false}}, nullptr);
            EXPECT_EQ(1u, ReadCabinet(cab).size());
            continue;
        }
        try {
            Cabinet_CompressFiles(cab, {{source, L"", false}}, nullptr);
            ADD_FAILURE() << "no error";
        } catch (const CCvError& e) {
            EXPECT_EQ(static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE), e.GetCode());
            EXPECT_EQ(L"Cabinet", Entry(e, L"File"));
            EXPECT_EQ(L"CCompressedFile::CCompressedFile", Entry(e, L"Function"));
        }
        EXPECT_FALSE(Exists(cab));
    }
}

TEST_F(CabinetTest, AddingAFileThatCannotBeOpenedRaisesAndTheCabinetGoesOn) {
    const std::wstring missing = Path(L"missing.txt");
    const std::wstring cab = Path(L"out.cab");
    {
        CCompressedFile cabinet(cab, tcompTYPE_MSZIP);
        try {
            cabinet << PackItem{missing, L"Logs", false};
            ADD_FAILURE() << "no error";
        } catch (const CCvError& e) {
            EXPECT_EQ(0xE600001Bu, e.GetCode());
            EXPECT_EQ(L"Cabinet", Entry(e, L"File"));
            EXPECT_EQ(L"512", Entry(e, L"Line"));
            EXPECT_EQ(L"CCompressedFile::operator <<", Entry(e, L"Function"));
            // FCIERR_OPEN_SRC, ENOENT, the source.
            ExpectInserts(e, {L"0x00000001 (1)", L"0x00000002 (2)", missing});
        }
        cabinet << PackItem{MakeFile(L"a.txt", "alpha"), L"Logs", false};
        cabinet.Close();
    }
    const std::vector<CabEntry> entries = ReadCabinet(cab);
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ("Logs\\a.txt", entries[0].name);
}

TEST_F(CabinetTest, CabinetThatCannotBeWrittenIsAnError) {
    const std::wstring cab = Path(L"no such folder\\out.cab");
    try {
        Cabinet_CompressFiles(cab, {{MakeFile(L"a.txt", "alpha"), L"", false}}, nullptr);
        ADD_FAILURE() << "no error";
    } catch (const CCvError& e) {
        EXPECT_EQ(0xE600001Bu, e.GetCode());
        EXPECT_EQ(L"Cabinet", Entry(e, L"File"));
        EXPECT_EQ(L"CCompressedFile::Close", Entry(e, L"Function"));
        // FCIERR_CAB_FILE, ENOENT, the cabinet.
        ExpectInserts(e, {L"0x00000006 (6)", L"0x00000002 (2)", cab});
    }
    EXPECT_FALSE(Exists(cab));
}

// FCI takes its temporary files either when the context is made (Windows'
// cabinet.dll) or when the first data block is written (Wine's); either way
// the failure must reach the caller.
TEST_F(CabinetTest, UnusableTemporaryFolderIsAnError) {
    const std::wstring source = MakeFile(L"a.txt", "alpha");
    const std::wstring nowhere = Path(L"no such folder");
    ScopedEnvironment tmp(L"TMP", nowhere), temp(L"TEMP", nowhere);
    try {
        Cabinet_CompressFiles(Path(L"out.cab"), {{source, L"", false}}, nullptr);
        ADD_FAILURE() << "no error";
    } catch (const CCvError& e) {
        EXPECT_EQ(0xE600001Bu, e.GetCode());
        EXPECT_EQ(L"Cabinet", Entry(e, L"File"));
        const std::wstring function = Entry(e, L"Function");
        if (function == L"CCompressedFile::CCompressedFile")
            EXPECT_EQ(L"483", Entry(e, L"Line"));
        else
            EXPECT_EQ(L"CCompressedFile::Close", function);
        ExpectInserts(e, {L"0x00000004 (4)"});  // FCIERR_TEMP_FILE
    }
    EXPECT_FALSE(Exists(Path(L"out.cab")));
}

// Temporary file names come from the wide functions: a temporary folder with
// letters of the ANSI code page or outside it (Cyrillic, Chinese, Greek) works.
TEST_F(CabinetTest, TemporaryFolderWithNonAsciiLettersWorks) {
    const std::wstring source = MakeFile(L"a.txt", SampleData(100000, 3));
    for (const wchar_t* name : {L"T\x00E9mp", L"T\x0416mp", L"\x4E34\x65F6", L"\x03A0\x03C1\x03BF"}) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(name)));
        const std::wstring folder = Path(name);
        ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
        const std::wstring cab = Path(L"out.cab");
        {
            ScopedEnvironment tmp(L"TMP", folder), temp(L"TEMP", folder);
            Cabinet_CompressFiles(cab, {{source, L"", false}}, nullptr);
        }
        const std::vector<CabEntry> entries = ReadCabinet(cab);
        ASSERT_EQ(1u, entries.size());
        EXPECT_TRUE(entries[0].data == SampleData(100000, 3));
        EXPECT_TRUE(std::filesystem::is_empty(std::filesystem::path(folder))) << "temporary files left behind";
        DeleteFileW(cab.c_str());
    }
}

// A file larger than one cabinet folder holds is refused before any of it is
// read (sparse files: reading them through would take long); the rest is packed.
TEST_F(CabinetTest, FileLargerThanAFolderHoldsIsRefusedUnread) {
    const std::wstring cab = Path(L"out.cab");
    {
        CCompressedFile cabinet(cab, tcompTYPE_MSZIP);
        for (unsigned long long size : {0x7FFF8001ull, 0x100000001ull}) {
            const std::wstring path = Path(L"large.log");
            HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
            ASSERT_NE(INVALID_HANDLE_VALUE, file);
            LARGE_INTEGER end;
            end.QuadPart = static_cast<LONGLONG>(size);
            EXPECT_TRUE(SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file));
            CloseHandle(file);
            try {
                cabinet << PackItem{path, L"Logs", false};
                ADD_FAILURE() << "no error for " << size << " B";
            } catch (const CCvError& e) {
                EXPECT_EQ(0xE600001Bu, e.GetCode());
                EXPECT_EQ(L"CCompressedFile::operator <<", Entry(e, L"Function"));
                // FCIERR_CAB_FORMAT_LIMIT, EFBIG, the source.
                ExpectInserts(e, {L"0x00000009 (9)", L"0x0000001B (27)", path});
            }
            EXPECT_TRUE(DeleteFileW(path.c_str())) << "the refused file is still open";
        }
        cabinet << PackItem{MakeFile(L"a.txt", "alpha"), L"Logs", false};
        cabinet.Close();
    }
    const std::vector<CabEntry> entries = ReadCabinet(cab);
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ("Logs\\a.txt", entries[0].name);
}


// What became of each file: packed ones with the bytes packed and their SHA-256 (hashed while
// packed, over blocks), left-out ones with the Windows code of why; a closing file made from
// those results is packed last, and the progress counts it.
TEST_F(CabinetTest, EveryFilesFateAndAClosingFileMadeFromThem) {
    const std::string large = SampleData(200000, 7);  // several 32 KB blocks
    const std::wstring locked = MakeFile(L"locked.log", "held");
    CvBase::CWin32Handle holder(CreateFileW(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder.IsValid());
    const std::wstring huge = Path(L"huge.log");
    {
        CvBase::CWin32Handle file(CreateFileW(huge.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        LARGE_INTEGER end;
        end.QuadPart = 0x7FFF8001;
        ASSERT_TRUE(SetFilePointerEx(file.Get(), end, nullptr, FILE_BEGIN) && SetEndOfFile(file.Get()));
    }
    const std::vector<PackItem> list = {
        {MakeFile(L"abc.txt", "abc"), L"Logs", false},
        {MakeFile(L"empty.txt", ""), L"", false},
        {MakeFile(L"large.log", large), L"Logs", false},
        {Path(L"missing.log"), L"Logs", false},
        {Path(L"no-folder\\missing.log"), L"Logs", false},
        {locked, L"Logs", false},
        {huge, L"Logs", false},
    };
    CvBase::CSha256 whole;
    whole.Update(large.data(), large.size());
    const struct {
        bool packed;
        unsigned long long size;
        std::string sha256;
        DWORD error;
    } expected[] = {
        {true, 3, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", 0},
        {true, 0, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", 0},
        {true, large.size(), whole.FinishHex(), 0},
        {false, 0, "", ERROR_FILE_NOT_FOUND},
        {false, 0, "", ERROR_PATH_NOT_FOUND},
        {false, 0, "", ERROR_SHARING_VIOLATION},
        {false, 0, "", ERROR_FILE_TOO_LARGE},
    };
    const std::wstring closingPath = Path(L"closing.json");
    std::vector<PackResult> seen;
    const ClosingFile closing = {{closingPath, L"", true}, [&](const std::vector<PackResult>& results) {
                                     seen = results;
                                     WriteBytes(closingPath, std::to_string(results.size()));
                                 }};
    ProgressLog progress;
    const std::wstring cab = Path(L"out.cab");

    const std::vector<PackResult> results = Cabinet_CompressFiles(cab, list, &progress, &closing);

    ASSERT_EQ(std::size(expected), results.size());
    for (size_t i = 0; i < results.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(expected[i].packed, results[i].Packed);
        EXPECT_EQ(expected[i].size, results[i].Size);
        EXPECT_EQ(expected[i].sha256, results[i].Sha256);
        EXPECT_EQ(expected[i].error, results[i].Error);
    }
    EXPECT_EQ(L"Logs\\abc.txt", results[0].Name);
    EXPECT_EQ(results.size(), seen.size()) << "the closing file was not made from every result";
    const std::vector<CabEntry> entries = ReadCabinet(cab);
    ASSERT_EQ(4u, entries.size());
    EXPECT_EQ("closing.json", entries.back().name);
    EXPECT_EQ("7", entries.back().data);
    ASSERT_EQ(list.size() + 2, progress.calls.size());
    EXPECT_EQ(closingPath, progress.calls[list.size()].next);
    EXPECT_NEAR(100.0 * list.size() / (list.size() + 1), progress.calls[list.size()].percent, 1e-9);
    EXPECT_EQ(std::nullopt, progress.calls.back().next);
    holder.Close();
    DeleteFileW(huge.c_str());
}

}  // namespace
