#include "SehCatcher.h"
#include "TimedWork.h"
#include "Win32Objects.h"

#include <gtest/gtest.h>

#include <cwctype>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>
#include "test_util.h"

using CvBase::CCvError;
using CvBase::CSehCatcher;
using CvBase::SeTranslator;
using CvBase::SetSeTranslator;
using CvBase::CTranslatorScope;

namespace {

// ---- Faulting code of the tests' own, out of the compiler's sight ----

struct Counted {
    int& destroyed;
    ~Counted() { ++destroyed; }
};

// The object's cleanup region begins right at the faulting instruction.
__attribute__((noipa)) int DivideCounted(int dividend, volatile int* divisor, int& destroyed) {
    Counted counted{destroyed};
    return dividend / *divisor;
}

__attribute__((noipa)) int ReadCounted(volatile int* at, int& destroyed) {
    Counted counted{destroyed};
    return *at;
}

__attribute__((noipa)) void Nothing() {}
void (*volatile g_nothing)() = &Nothing;

// Faults after a call, in a function body with a frame.
__attribute__((noipa)) int ReadAfterCall(volatile int* at, int& destroyed) {
    Counted counted{destroyed};
    g_nothing();
    return *at;
}

// A function without a frame: the stack is aligned on 8 at its fault.
__attribute__((noipa)) int ReadPlain(volatile int* at) { return *at; }

volatile int g_zero = 0;
volatile int g_two = 2;
int* volatile g_null = nullptr;

// ---- Translators ----

struct TestFault {
    unsigned code;
    DWORD64 stackPointer;  // at the fault
};

void ThrowTestFault(unsigned code, EXCEPTION_POINTERS* pointers) {
    throw TestFault{code, pointers->ContextRecord->Rsp};
}

SeTranslator CurrentTranslator() {
    const SeTranslator current = SetSeTranslator(nullptr);
    SetSeTranslator(current);
    return current;
}

// ---- Environment and files ----

// Points TMP and TEMP somewhere else for its lifetime.
class ScopedTempFolder {
public:
    explicit ScopedTempFolder(const std::wstring& folder) {
        for (int i = 0; i < 2; ++i) {
            wchar_t value[32768];
            const DWORD length = GetEnvironmentVariableW(kNames[i], value, 32768);
            m_had[i] = length > 0;
            m_old[i].assign(value, m_had[i] ? length : 0);
            SetEnvironmentVariableW(kNames[i], folder.c_str());
        }
    }
    ~ScopedTempFolder() {
        for (int i = 0; i < 2; ++i) SetEnvironmentVariableW(kNames[i], m_had[i] ? m_old[i].c_str() : nullptr);
    }
    ScopedTempFolder(const ScopedTempFolder&) = delete;
    ScopedTempFolder& operator=(const ScopedTempFolder&) = delete;

private:
    static constexpr const wchar_t* kNames[2] = {L"TMP", L"TEMP"};
    bool m_had[2] = {};
    std::wstring m_old[2];
};

std::string FirstBytes(const std::wstring& path, DWORD count) {
    std::string bytes(count, '\0');
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return {};
    DWORD read = 0;
    ReadFile(file, &bytes[0], count, &read, nullptr);
    CloseHandle(file);
    bytes.resize(read);
    return bytes;
}

bool EndsWith(const std::wstring& text, const std::wstring& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool IsUpperHex(const std::wstring& text, size_t digits) {
    if (text.size() != digits) return false;
    for (wchar_t c : text)
        if (!std::iswdigit(c) && !(c >= L'A' && c <= L'F')) return false;
    return true;
}

// The text that stands for insert `at` in a description of `code`, given the other inserts;
// empty when the description does not have the message's form.
std::wstring InsertIn(const std::wstring& description, DWORD code, std::vector<std::wstring> inserts, size_t at) {
    const std::wstring marker = L"\x1F";
    inserts.resize(10);
    inserts[at] = marker;
    const std::wstring form = CvBase::FormatErrorMessage(code, inserts.data());
    const size_t split = form.find(marker);
    const std::wstring before = form.substr(0, split), after = form.substr(split + marker.size());
    if (description.size() < before.size() + after.size() || description.compare(0, before.size(), before) != 0 ||
        !EndsWith(description, after))
        return {};
    return description.substr(before.size(), description.size() - before.size() - after.size());
}

// The faulting address of a description lies in the function that faulted.
void ExpectAddressIn(const std::wstring& address, const void* function) {
    ASSERT_TRUE(IsUpperHex(address, 16)) << "address insert: \"" << std::string(address.begin(), address.end())
                                         << "\"";
    const auto at = std::wcstoull(address.c_str(), nullptr, 16);
    const auto begin = reinterpret_cast<unsigned long long>(function);
    EXPECT_GE(at, begin);
    EXPECT_LT(at, begin + 256);
}

// ---- The error of a fault ----

struct MappingCase {
    DWORD exception;
    DWORD error;
};

const MappingCase kMappings[] = {
    {0xC000008C, 0xE6060006}, {0x80000003, 0xE6060007}, {0x80000002, 0xE6060008}, {0xC000008D, 0xE6060009},
    {0xC000008E, 0xE606000A}, {0xC000008F, 0xE606000B}, {0xC0000090, 0xE606000C}, {0xC0000091, 0xE606000D},
    {0xC0000092, 0xE606000E}, {0xC0000093, 0xE606000F}, {0xC000001D, 0xE6060010}, {0xC0000006, 0xE6060011},
    {0xC0000094, 0xE6060012}, {0xC0000095, 0xE6060013}, {0xC0000026, 0xE6060014}, {0xC0000025, 0xE6060015},
    {0xC0000096, 0xE6060016}, {0x80000004, 0xE6060017}, {0xC00000FD, 0xE6060018}, {0xC0000417, 0xE6060019},
    {0xC0000017, 0x8007000E}, {0xC0000008, 1064},       {0x40010006, 1064},
};

class FaultErrorMapping : public ::testing::TestWithParam<MappingCase> {};

TEST_P(FaultErrorMapping, GivesTheCodeWithTheFaultingAddress) {
    EXCEPTION_RECORD record{};
    record.ExceptionCode = GetParam().exception;
    record.ExceptionAddress = reinterpret_cast<void*>(0x00007FF6A1B2C3D4ull);
    const CCvError error = CvBase::MakeFaultError(record);

    EXPECT_EQ(GetParam().error, error.GetCode());
    const std::wstring inserts[10] = {L"00007FF6A1B2C3D4"};
    EXPECT_STREQ(CvBase::FormatErrorMessage(GetParam().error, inserts).c_str(), error.GetDescription());
    EXPECT_EQ(nullptr, error.FindEntry(L"File"));
    EXPECT_EQ(nullptr, error.FindEntry(L"Line"));
    EXPECT_EQ(nullptr, error.FindEntry(L"Function"));
}

INSTANTIATE_TEST_SUITE_P(AllExceptions, FaultErrorMapping, ::testing::ValuesIn(kMappings));

TEST(FaultError, FaultTextsNameTheAddress) {
    for (DWORD error = 0xE6060006; error <= 0xE6060019; ++error) {
        const std::wstring inserts[10] = {L"00007FF6A1B2C3D4"};
        EXPECT_NE(std::wstring::npos, CvBase::FormatErrorMessage(error, inserts).find(L"00007FF6A1B2C3D4"))
            << std::hex << error;
    }
}

struct AccessCase {
    ULONG_PTR kind;
    DWORD kindText;
};

TEST(FaultError, AccessViolationNamesKindAndDataAddress) {
    const AccessCase cases[] = {{0, 0xE6060004}, {1, 0xE6060003}, {8, 0xE6060003}};
    for (const AccessCase& c : cases) {
        EXCEPTION_RECORD record{};
        record.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
        record.ExceptionAddress = reinterpret_cast<void*>(0x140001234ull);
        record.NumberParameters = 2;
        record.ExceptionInformation[0] = c.kind;
        record.ExceptionInformation[1] = 0xFFFFF80012345678ull;
        const CCvError error = CvBase::MakeFaultError(record);

        EXPECT_EQ(0xE6060005u, error.GetCode());
        const std::wstring inserts[10] = {L"0000000140001234", CvBase::FormatErrorMessage(c.kindText),
                                          L"FFFFF80012345678"};
        EXPECT_STREQ(CvBase::FormatErrorMessage(0xE6060005, inserts).c_str(), error.GetDescription())
            << "kind " << c.kind;
    }
    EXPECT_NE(CvBase::FormatErrorMessage(0xE6060003), CvBase::FormatErrorMessage(0xE6060004));
}

// ---- Translation of real faults, with dumps ----

class SehCatcherDump : public ::testing::Test {
protected:
    void TearDown() override {
        for (const std::wstring& path : m_dumps) DeleteFileW(path.c_str());
    }

    // Checks the dump that the error names, and has it deleted after the test.
    void ExpectDumpOf(const CCvError& error) {
        const std::wstring* path = error.FindEntry(L"MiniDumpFile");
        ASSERT_NE(nullptr, path);
        m_dumps.push_back(*path);
        const std::wstring folder = TempFolder();
        EXPECT_EQ(0, path->compare(0, folder.size(), folder)) << "not in the temporary folder";
        EXPECT_TRUE(EndsWith(*path, L".dmp"));
        EXPECT_EQ("MDMP", FirstBytes(*path, 4)) << "no dump in the named file";
        EXPECT_NE(std::wstring::npos, std::wstring(error.GetDump()).find(L"MiniDumpFile: " + *path + L"\r\n"));
    }

private:
    std::vector<std::wstring> m_dumps;
};

TEST_F(SehCatcherDump, DivisionByZeroIsThrownAsErrorAndTheCallerGoesOn) {
    CSehCatcher catcher;
    int destroyed = 0;
    bool caught = false;
    try {
        DivideCounted(7, &g_zero, destroyed);
    } catch (const CCvError& error) {
        caught = true;
        EXPECT_EQ(0xE6060012u, error.GetCode());
        ExpectAddressIn(InsertIn(error.GetDescription(), 0xE6060012, {}, 0),
                        reinterpret_cast<const void*>(&DivideCounted));
        ExpectDumpOf(error);
    }
    EXPECT_TRUE(caught);
    EXPECT_EQ(1, destroyed) << "the faulting frame's object was not destroyed";

    EXPECT_EQ(3, DivideCounted(7, &g_two, destroyed));
    EXPECT_EQ(2, destroyed);
}

TEST_F(SehCatcherDump, ReadOfAddressZeroNamesReadAndTheAddress) {
    CSehCatcher catcher;
    int destroyed = 0;
    bool caught = false;
    try {
        ReadCounted(g_null, destroyed);
    } catch (const CCvError& error) {
        caught = true;
        EXPECT_EQ(0xE6060005u, error.GetCode());
        const std::wstring read = CvBase::FormatErrorMessage(0xE6060004);
        ExpectAddressIn(InsertIn(error.GetDescription(), 0xE6060005, {L"", read, L"0000000000000000"}, 0),
                        reinterpret_cast<const void*>(&ReadCounted));
        ExpectDumpOf(error);
    }
    EXPECT_TRUE(caught);
    EXPECT_EQ(1, destroyed);
}

TEST(SehCatcher, UnwritableTempFolderStillGivesTheError) {
    const std::wstring missing = TempFolder() + L"cv-missing-folder-" + std::to_wstring(GetTickCount()) + L"\\";
    const std::wstring tooLong = L"C:\\" + std::wstring(600, L'x') + L"\\";  // GetTempPathW fails
    for (const std::wstring& folder : {missing, tooLong}) {
        ScopedTempFolder temp(folder);
        CSehCatcher catcher;
        int destroyed = 0;
        bool caught = false;
        try {
            DivideCounted(7, &g_zero, destroyed);
        } catch (const CCvError& error) {
            caught = true;
            EXPECT_EQ(0xE6060012u, error.GetCode());
            const std::wstring* dump = error.FindEntry(L"MiniDumpFile");
            ASSERT_NE(nullptr, dump);
            EXPECT_EQ(L"Can't create file in temp folder!", *dump);
        }
        EXPECT_TRUE(caught);
        EXPECT_EQ(1, destroyed);
    }
}

// ---- Installing and restoring ----

TEST(SehCatcherScope, DestroyedCatcherPutsThePreviousTranslatorBack) {
    CTranslatorScope outer(&ThrowTestFault);
    {
        CSehCatcher catcher;
        EXPECT_TRUE(CurrentTranslator() == &CSehCatcher::Translate);
        {
            CSehCatcher inner;
            EXPECT_TRUE(CurrentTranslator() == &CSehCatcher::Translate);
        }
        EXPECT_TRUE(CurrentTranslator() == &CSehCatcher::Translate);
    }
    EXPECT_TRUE(CurrentTranslator() == &ThrowTestFault);

    int destroyed = 0;
    try {
        DivideCounted(7, &g_zero, destroyed);
        ADD_FAILURE() << "no fault";
    } catch (const TestFault& fault) {
        EXPECT_EQ(0xC0000094u, fault.code);
    }
    EXPECT_EQ(1, destroyed);
}

TEST(SehCatcherScope, CatcherProtectsOnlyItsOwnThread) {
    SeTranslator before = nullptr, during = nullptr, after = nullptr, other = nullptr;
    std::thread([&] {
        before = CurrentTranslator();
        {
            CSehCatcher catcher;
            during = CurrentTranslator();
            std::thread([&] { other = CurrentTranslator(); }).join();
        }
        after = CurrentTranslator();
    }).join();
    EXPECT_TRUE(before == nullptr);
    EXPECT_TRUE(during == &CSehCatcher::Translate);
    EXPECT_TRUE(other == nullptr);
    EXPECT_TRUE(after == nullptr);
}

TEST(SehCatcherScope, FaultsOutsideThisModuleAreLeftToTheirOwnHandlers) {
    CTranslatorScope translator(&ThrowTestFault);
    void* const unmapped = reinterpret_cast<void*>(0x10);
    EXPECT_TRUE(IsBadReadPtr(unmapped, 4));  // the system library catches its own probe's fault
    EXPECT_TRUE(IsBadWritePtr(unmapped, 4));
}

// ---- Faults of another module, under the guard ----

// CvTestLib's function that writes to address 0, with MiniDumpWriteDump's parameters.
CvBase::MiniDumpWriter FaultOfAnotherModule() {
    static const HMODULE library = LoadLibraryW((ExeFolder() + L"\\CvTestLib.dll").c_str());
    return reinterpret_cast<CvBase::MiniDumpWriter>(
        reinterpret_cast<void*>(GetProcAddress(library, "CvTestFault")));
}

void FaultInAnotherModule() {
    FaultOfAnotherModule()(nullptr, 0, nullptr, MiniDumpNormal, nullptr, nullptr, nullptr);
}

TEST(SehGuard, FaultOfAnotherModuleIsTranslatedAndTheCallerGoesOn) {
    ASSERT_NE(nullptr, FaultOfAnotherModule());
    CTranslatorScope translator(&ThrowTestFault);
    for (int round = 0; round < 3; ++round) {
        int destroyed = 0;
        bool caught = false;
        try {
            CvBase::RunGuarded([&] {
                Counted counted{destroyed};
                FaultInAnotherModule();
            });
        } catch (const TestFault& fault) {
            caught = true;
            EXPECT_EQ(static_cast<unsigned>(EXCEPTION_ACCESS_VIOLATION), fault.code);
        }
        EXPECT_TRUE(caught);
        EXPECT_EQ(1, destroyed) << "the guarded frame's object was not destroyed";
    }
}

TEST(SehGuard, OtherExceptionsAndLibraryProbesPassUnchanged) {
    CTranslatorScope translator(&ThrowTestFault);
    EXPECT_THROW(CvBase::RunGuarded([] { throw 42; }), int);
    bool probed = false;
    CvBase::RunGuarded([&] {
        void* const unmapped = reinterpret_cast<void*>(0x10);
        probed = IsBadReadPtr(unmapped, 4) && IsBadWritePtr(unmapped, 4);
    });
    EXPECT_TRUE(probed) << "the system library's own probe was taken away from it";
}

// Without the guard, or without a translator, the fault takes the system's usual course.
TEST(SehGuardDeathTest, FaultOfAnotherModuleNeedsBothGuardAndTranslator) {
    const struct {
        const char* name;
        void (*run)();
    } cases[] = {
        {"translator without the guard", [] {
             CTranslatorScope translator(&ThrowTestFault);
             FaultInAnotherModule();
         }},
        {"guard without a translator", [] { CvBase::RunGuarded(&FaultInAnotherModule); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EXIT(
            {
                try {
                    c.run();
                } catch (...) {
                    std::exit(1);
                }
                std::exit(2);
            },
            ::testing::ExitedWithCode(static_cast<int>(EXCEPTION_ACCESS_VIOLATION)), "");
    }
}

TEST(SehCatcherDeathTest, FaultAfterTheCatcherIsGoneIsNotTranslated) {
    EXPECT_EXIT(
        {
            { CSehCatcher catcher; }
            int destroyed = 0;
            try {
                DivideCounted(7, &g_zero, destroyed);
            } catch (...) {
                std::exit(1);
            }
            std::exit(2);
        },
        ::testing::ExitedWithCode(static_cast<int>(EXCEPTION_INT_DIVIDE_BY_ZERO)), "");
}

// ---- Many faults on two threads (translator of the test: no dumps) ----

TEST(SehTranslation, ManyFaultsOnTwoThreadsAreAllTranslated) {
    constexpr int kFaults = 10000;
    struct Result {
        int caught = 0, wrongCode = 0, destroyed = 0;
        std::set<DWORD64> alignments;
    } results[2];

    auto work = [](Result& result) {
        CTranslatorScope translator(&ThrowTestFault);
        for (int i = 0; i < kFaults; ++i) {
            try {
                switch (i % 4) {
                    case 0: DivideCounted(i, &g_zero, result.destroyed); break;
                    case 1: ReadCounted(g_null, result.destroyed); break;
                    case 2: ReadAfterCall(g_null, result.destroyed); break;
                    default: {
                        Counted counted{result.destroyed};
                        ReadPlain(g_null);
                    }
                }
            } catch (const TestFault& fault) {
                ++result.caught;
                if (fault.code != (i % 4 == 0 ? EXCEPTION_INT_DIVIDE_BY_ZERO : EXCEPTION_ACCESS_VIOLATION))
                    ++result.wrongCode;
                result.alignments.insert(fault.stackPointer % 16);
            }
        }
    };
    std::thread first(work, std::ref(results[0]));
    std::thread second(work, std::ref(results[1]));
    first.join();
    second.join();

    for (const Result& result : results) {
        EXPECT_EQ(kFaults, result.caught);
        EXPECT_EQ(0, result.wrongCode);
        EXPECT_EQ(kFaults, result.destroyed);
        EXPECT_EQ((std::set<DWORD64>{0, 8}), result.alignments) << "both stack alignments at a fault";
    }
}

// ---- Writing the dump ----

struct WriterCall {
    MINIDUMP_TYPE type;
    bool hasException;
    DWORD threadId;
    EXCEPTION_POINTERS* pointers;
    BOOL clientPointers;
};

// A dump writer that records its calls, fails with full memory after writing a lot, and writes a
// short normal dump unless told to fail that too.
std::vector<WriterCall> g_calls;
bool g_normalFails = false;

BOOL WINAPI FakeWriter(HANDLE, DWORD processId, HANDLE file, MINIDUMP_TYPE type,
                       PMINIDUMP_EXCEPTION_INFORMATION exception, PMINIDUMP_USER_STREAM_INFORMATION streams,
                       PMINIDUMP_CALLBACK_INFORMATION callback) {
    EXPECT_EQ(GetCurrentProcessId(), processId);
    EXPECT_EQ(nullptr, streams);
    EXPECT_EQ(nullptr, callback);
    g_calls.push_back({type, exception != nullptr, exception ? exception->ThreadId : 0,
                       exception ? exception->ExceptionPointers : nullptr,
                       exception ? exception->ClientPointers : TRUE});
    const bool full = type == MiniDumpWithFullMemory;
    const std::string data = full ? std::string(300, 'F') : "MDMP-normal";
    DWORD written = 0;
    WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
    if (full || g_normalFails) {
        SetLastError(ERROR_DISK_FULL);
        return FALSE;
    }
    return TRUE;
}

class WriteMiniDumpTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_calls.clear();
        g_normalFails = false;
        m_path = TempFolder() + L"cv-seh-writer-" + std::to_wstring(GetCurrentProcessId()) + L".bin";
        m_file = CreateFileW(m_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, m_file);
    }
    void TearDown() override {
        if (m_file != INVALID_HANDLE_VALUE) CloseHandle(m_file);
        DeleteFileW(m_path.c_str());
    }
    std::string Contents() {
        CloseHandle(m_file);
        m_file = INVALID_HANDLE_VALUE;
        return FirstBytes(m_path, 1 << 16);
    }

    std::wstring m_path;
    HANDLE m_file = INVALID_HANDLE_VALUE;
};

TEST_F(WriteMiniDumpTest, FailedFullDumpIsFollowedByANormalOneInTheEmptiedFile) {
    EXCEPTION_RECORD record{};
    CONTEXT context{};
    EXCEPTION_POINTERS pointers{&record, &context};

    EXPECT_TRUE(CvBase::WriteMiniDump(m_file, &pointers, &FakeWriter));

    ASSERT_EQ(2u, g_calls.size());
    EXPECT_EQ(MiniDumpWithFullMemory, g_calls[0].type);
    EXPECT_EQ(MiniDumpNormal, g_calls[1].type);
    for (const WriterCall& call : g_calls) {
        EXPECT_TRUE(call.hasException);
        EXPECT_EQ(GetCurrentThreadId(), call.threadId);
        EXPECT_EQ(&pointers, call.pointers);
        EXPECT_EQ(FALSE, call.clientPointers);
    }
    EXPECT_EQ("MDMP-normal", Contents());
}

TEST_F(WriteMiniDumpTest, FaultInsideTheWriterGivesFailureWithItsCode) {
    for (bool catcherInstalled : {false, true}) {
        SCOPED_TRACE(catcherInstalled ? "with a catcher" : "without a catcher");
        std::unique_ptr<CSehCatcher> catcher(catcherInstalled ? new CSehCatcher : nullptr);
        const SeTranslator before = CurrentTranslator();
        SetLastError(0);
        EXPECT_FALSE(CvBase::WriteMiniDump(m_file, nullptr, FaultOfAnotherModule()));
        EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), GetLastError());
        EXPECT_TRUE(CurrentTranslator() == before);
    }
}

TEST_F(WriteMiniDumpTest, BothFailingGiveFailureWithTheWritersError) {
    g_normalFails = true;
    SetLastError(0);
    EXPECT_FALSE(CvBase::WriteMiniDump(m_file, nullptr, &FakeWriter));
    EXPECT_EQ(static_cast<DWORD>(ERROR_DISK_FULL), GetLastError());
    ASSERT_EQ(2u, g_calls.size());
    EXPECT_FALSE(g_calls[0].hasException);
    EXPECT_FALSE(g_calls[1].hasException);
}

// ---- Naming the dump ----

TEST(GetMiniDumpPath, TempFolderProgramNameTickCountAndDmp) {
    const std::wstring folder = L"C:\\cv dumps\\here\\";
    ScopedTempFolder temp(folder);
    const DWORD before = GetTickCount();
    const std::wstring path = CvBase::GetMiniDumpPath();
    const DWORD after = GetTickCount();

    const std::wstring start = folder + L"test_seh-";
    ASSERT_EQ(start.size() + 8 + 4, path.size()) << std::string(path.begin(), path.end());
    EXPECT_EQ(start, path.substr(0, start.size()));
    EXPECT_TRUE(EndsWith(path, L".dmp"));
    const std::wstring tick = path.substr(start.size(), 8);
    ASSERT_TRUE(IsUpperHex(tick, 8));
    const DWORD value = std::wcstoul(tick.c_str(), nullptr, 16);
    EXPECT_LE(before, value);
    EXPECT_GE(after, value);
}

TEST(GetMiniDumpPath, EmptyWhenTheTempFolderIsUnknown) {
    ScopedTempFolder temp(L"C:\\" + std::wstring(600, L'x') + L"\\");
    EXPECT_EQ(L"", CvBase::GetMiniDumpPath());
}


// ---- Work under a time limit ----

TEST(TimedWork, EndedWorkHandsBackItsResultAndItsErrors) {
    auto result = std::make_shared<int>(0);
    EXPECT_TRUE(CvBase::RunTimed(10000, L"test", L"sum", [result] { *result = 2 + 3; }));
    EXPECT_EQ(5, *result);

    try {
        CvBase::RunTimed(10000, L"test", L"error", [] { CvBase::ThrowError(ERROR_NOT_READY, L"test", 1, L"test"); });
        ADD_FAILURE() << "the work's error was not raised";
    } catch (const CCvError& error) {
        EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_READY), error.GetCode());
    }
}

TEST(TimedWork, FaultOfTheWorkIsRaisedAsError) {
    // Another module's fault is translated only inside the guard, which the work's thread has.
    ASSERT_NE(nullptr, FaultOfAnotherModule());
    try {
        // Room for the crash dump, which takes its time under a busy Wine.
        CvBase::RunTimed(600000, L"test", L"fault", [] { FaultInAnotherModule(); });
        ADD_FAILURE() << "the fault was not raised";
    } catch (const CCvError& error) {
        EXPECT_EQ(0xE6060005, error.GetCode()) << error.GetDump();
    }
}

TEST(TimedWork, HungWorkIsAbandonedAtItsLimit) {
    CvBase::CWin32Handle never(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    auto reached = std::make_shared<bool>(false);
    const HANDLE event = never.Get();
    const ULONGLONG start = GetTickCount64();
    // The work owns what it writes: it outlives this test's stack frame.
    CvBase::CTimedWork work([reached, event] {
        *reached = true;
        WaitForSingleObject(event, INFINITE);
    });
    EXPECT_FALSE(work.Wait(300, L"test", L"hung"));
    EXPECT_GE(GetTickCount64() - start, 250u);
    EXPECT_TRUE(*reached);
    // A second wait counts from the work's start too: its limit has passed.
    EXPECT_FALSE(work.Wait(300, L"test", L"hung"));
    never.Detach();  // the abandoned work keeps waiting on it
}

}  // namespace
