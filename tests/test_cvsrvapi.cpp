// The stand-in service library as the client calls it: which session records
// it refuses, its sessions, and the classic event log file it writes.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "CvSrvApi.h"
#include "SecurityLog.h"
#include "collector_util.h"
#include "test_util.h"

namespace {

const wchar_t ServiceKey[] = L"SOFTWARE\\Meridyne\\Corvane Studio\\Service";
const wchar_t VersionKey[] = L"SOFTWARE\\Altorum\\Corvane 5";

// A record as the client makes it: zero-filled from the process heap.
_CV_SESSION* NewRecord(const wchar_t* name, WORD major = 8, size_t size = sizeof(_CV_SESSION)) {
    auto* record = static_cast<_CV_SESSION*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size));
    record->Name = name;
    if (size < sizeof(_CV_SESSION)) return record;
    record->Flags = 0x1002;
    for (_CV_CLIENT_VERSION* version : {&record->Version, &record->VersionCopy}) {
        version->Numbers[0] = major;
        version->Numbers[1] = major == 8 ? 3 : 0;
        version->Numbers[2] = major == 8 ? 1406 : 0;
    }
    return record;
}

DWORD Open(_CV_SESSION* record, HANDLE* session = nullptr) {
    const DWORD status = CvOpenSession(record);
    if (session) *session = record->Session;
    HeapFree(GetProcessHeap(), 0, record);
    return status;
}

uint32_t U32(const std::string& bytes, size_t offset) {
    uint32_t value = 0;
    std::memcpy(&value, bytes.data() + offset, 4);
    return value;
}

class ServiceLibrary : public ::testing::Test {
protected:
    void SetUp() override { m_service.SetDword(L"Installed", 1); }
    SavedKey m_service{ServiceKey};
    SavedKey m_version{VersionKey};
};

TEST_F(ServiceLibrary, RefusesABadRecord) {
    struct Case {
        const char* what;
        std::function<void(_CV_SESSION&)> spoil;
        DWORD status;
    };
    const std::vector<Case> cases = {
        {"no name", [](_CV_SESSION& r) { r.Name = nullptr; }, ERROR_INVALID_PARAMETER},
        {"empty name", [](_CV_SESSION& r) { r.Name = L""; }, ERROR_INVALID_PARAMETER},
        {"reserved at 8", [](_CV_SESSION& r) { r.Reserved1[0] = 1; }, ERROR_INVALID_PARAMETER},
        {"reserved at 48", [](_CV_SESSION& r) { r.Reserved2 = 1; }, ERROR_INVALID_PARAMETER},
        {"reserved at 80", [](_CV_SESSION& r) { r.Reserved3[11] = 1; }, ERROR_INVALID_PARAMETER},
        {"handle set", [](_CV_SESSION& r) { r.Session = &r; }, ERROR_INVALID_PARAMETER},
        {"flags without 2", [](_CV_SESSION& r) { r.Flags = 0x1000; }, ERROR_INVALID_FLAGS},
        {"other major", [](_CV_SESSION& r) { r.Version.Numbers[0] = 7; }, ERROR_REVISION_MISMATCH},
        {"copy differs", [](_CV_SESSION& r) { r.VersionCopy.Numbers[2] = 1405; }, ERROR_REVISION_MISMATCH},
        {"version tail", [](_CV_SESSION& r) { r.VersionCopy.Reserved = 1; }, ERROR_REVISION_MISMATCH},
    };
    for (const Case& c : cases) {
        _CV_SESSION* record = NewRecord(L"@bad");
        c.spoil(*record);
        EXPECT_EQ(c.status, Open(record)) << c.what;
    }
    // Records not of 84 bytes from the process heap.
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), Open(NewRecord(L"@short", 8, 80)));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), Open(NewRecord(L"@long", 8, 88)));
    _CV_SESSION* heap = NewRecord(L"@stack");
    _CV_SESSION onStack = *heap;
    HeapFree(GetProcessHeap(), 0, heap);
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), CvOpenSession(&onStack));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), CvOpenSession(nullptr));
}

TEST_F(ServiceLibrary, VersionIsTheInstalledProducts) {
    m_version.SetString(L"ClientVersion", L"7.2");
    EXPECT_EQ(static_cast<DWORD>(ERROR_REVISION_MISMATCH), Open(NewRecord(L"@v", 8)));
    HANDLE session = nullptr;
    ASSERT_EQ(0u, Open(NewRecord(L"@v", 7), &session));
    EXPECT_EQ(0u, CvCloseSession(session));
}

TEST_F(ServiceLibrary, SessionsOpenOncePerNameAndClose) {
    _CV_SESSION* record = NewRecord(L"@one");
    ASSERT_EQ(0u, CvOpenSession(record));
    const HANDLE session = record->Session;
    EXPECT_NE(nullptr, session);
    EXPECT_NE(0u, record->Id);
    HeapFree(GetProcessHeap(), 0, record);

    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), Open(NewRecord(L"@one")));
    EXPECT_EQ(0u, CvCloseSession(session));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), CvCloseSession(session));
    HANDLE again = nullptr;
    EXPECT_EQ(0u, Open(NewRecord(L"@one"), &again));
    EXPECT_EQ(0u, CvCloseSession(again));

    m_service.SetDword(L"Installed", 0);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), Open(NewRecord(L"@one")));
    m_service.Remove();
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), Open(NewRecord(L"@one")));
}

TEST_F(ServiceLibrary, BackupNeedsAnOpenSessionAndLeavesNoFileOnFailure) {
    const std::wstring folder = MakeTempFolder(L"cvsrvapi");
    const std::wstring target = folder + L"\\Corvane.evt";
    HANDLE session = nullptr;
    ASSERT_EQ(0u, Open(NewRecord(L"@backup"), &session));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), CvBackupSecurityLog(session, target.c_str(), 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND),
              CvBackupSecurityLog(session, (folder + L"\\missing\\Corvane.evt").c_str(), 1));
    EXPECT_EQ(0u, CvBackupSecurityLog(session, target.c_str(), 1));
    EXPECT_EQ(0u, CvCloseSession(session));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), CvBackupSecurityLog(session, target.c_str(), 1));

    const std::string bytes = ReadBytes(target);
    DeleteTree(folder);
    ASSERT_GT(bytes.size(), 48u + 40u);
    EXPECT_EQ("LfLe", bytes.substr(4, 4));
    EXPECT_EQ(6u, U32(bytes, 24)) << "five records, the next is the sixth";
}

// The file's frame: header, records that each end with their own length, and
// the end-of-file record that points back at them.
TEST(SecurityLogFile, HeaderRecordsAndEndRecordAgree) {
    const std::vector<SecurityLog::Event> events = {
        {1715680801, 1000, EVENTLOG_INFORMATION_TYPE, 1, {L"started"}},
        {1715688000, 3001, EVENTLOG_AUDIT_FAILURE, 4, {L"Logon refused", L"CORVANE\\guest"}},
        {1715688001, 7, EVENTLOG_WARNING_TYPE, 0, {}},
    };
    const std::string bytes = SecurityLog::Format(events, L"Corvane", L"HOST");
    EXPECT_EQ(0x30u, U32(bytes, 0));
    EXPECT_EQ("LfLe", bytes.substr(4, 4));
    EXPECT_EQ(0x30u, U32(bytes, 44));
    const uint32_t end = U32(bytes, 20);
    ASSERT_EQ(bytes.size(), end + 40u);
    EXPECT_EQ(4u, U32(bytes, 24));
    EXPECT_EQ(1u, U32(bytes, 28));

    size_t offset = 0x30;
    for (uint32_t number = 1; number <= events.size(); ++number) {
        const uint32_t size = U32(bytes, offset);
        ASSERT_EQ(0u, size % 4) << number;
        EXPECT_EQ("LfLe", bytes.substr(offset + 4, 4));
        EXPECT_EQ(number, U32(bytes, offset + 8));
        EXPECT_EQ(events[number - 1].Id, U32(bytes, offset + 20));
        EXPECT_EQ(events[number - 1].Strings.size(), static_cast<size_t>(static_cast<uint8_t>(bytes[offset + 26])));
        EXPECT_EQ(size, U32(bytes, offset + size - 4));
        offset += size;
    }
    EXPECT_EQ(end, offset);
    const uint32_t endRecord[] = {0x28, 0x11111111, 0x22222222, 0x33333333, 0x44444444, 0x30, end, 4, 1, 0x28};
    for (size_t i = 0; i < 10; ++i) EXPECT_EQ(endRecord[i], U32(bytes, end + 4 * i)) << i;
}

}  // namespace
