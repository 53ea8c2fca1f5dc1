// The client of the product's service library against the stand-in service:
// counted sessions, the closing destructor, the scope object's session name,
// refusals raised with the service's status.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "CvSrvClass.h"
#include "collector_util.h"
#include "cvexception.h"
#include "test_util.h"

namespace {

const wchar_t ServiceKey[] = L"SOFTWARE\\Meridyne\\Corvane Studio\\Service";

// The service installed or not; the library stays loaded for the whole test,
// so that the service keeps its sessions between clients.
class ServiceClient : public ::testing::Test {
protected:
    void SetUp() override {
        m_service.SetDword(L"Installed", 1);
        m_library = LoadLibraryW(L"CvSrvApi.dll");
        ASSERT_NE(nullptr, m_library);
    }
    void TearDown() override { FreeLibrary(m_library); }

    void Uninstall() { m_service.SetDword(L"Installed", 0); }

    // The status with which a new client's OpenSession of that name fails, 0 when it opens.
    static DWORD OpenStatus(const wchar_t* name) {
        try {
            CCvSrv client;
            client.OpenSession(name, 0);
            client.CloseSession();
            return 0;
        } catch (const CvBase::CCvError& error) {
            return error.GetCode();
        }
    }

    SavedKey m_service{ServiceKey};
    HMODULE m_library = nullptr;
};

std::wstring FunctionOf(const CvBase::CCvError& error) {
    const std::wstring* function = error.FindEntry(L"Function");
    return function ? *function : L"<none>";
}

TEST_F(ServiceClient, NestedOpensOnlyCountAndTheLastCloseCloses) {
    CCvSrv client;
    const DWORD id = client.OpenSession(L"@nested", 0);
    EXPECT_NE(0u, id);
    // A second session with the service would be named "@other" and get a new id.
    EXPECT_EQ(id, client.OpenSession(L"@other", 0x1002));
    EXPECT_EQ(0u, OpenStatus(L"@other"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), OpenStatus(L"@nested"));

    client.CloseSession();
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), OpenStatus(L"@nested"));
    client.CloseSession();
    EXPECT_EQ(0u, OpenStatus(L"@nested"));
    client.CloseSession();  // nothing open: nothing to do

    try {
        client.SnapshotSecurityLog((TempFolder() + L"cvsrv-closed.evt").c_str());
        ADD_FAILURE() << "saved without a session";
    } catch (const CvBase::CCvError& error) {
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), error.GetCode());
        EXPECT_EQ(L"CCvSrv::SnapshotSecurityLog", FunctionOf(error));
    }
    EXPECT_FALSE(FileExists(TempFolder() + L"cvsrv-closed.evt"));
}

TEST_F(ServiceClient, DestructorClosesASessionStillOpen) {
    {
        CCvSrv client;
        client.OpenSession(L"@left-open", 0);
        client.OpenSession(L"@left-open", 0);
    }
    EXPECT_EQ(0u, OpenStatus(L"@left-open"));
}

TEST_F(ServiceClient, RefusalRaisesTheServiceStatus) {
    Uninstall();
    CCvSrv client;
    try {
        client.OpenSession(L"@refused", 0);
        ADD_FAILURE() << "opened without the service";
    } catch (const CvBase::CCvError& error) {
        EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), error.GetCode());
        EXPECT_EQ(L"CCvSrv::OpenSession", FunctionOf(error));
    }
    client.CloseSession();  // still closed: nothing to do
}

TEST_F(ServiceClient, QuickSessionIsNamedAfterTheProgramAndProcess) {
    wchar_t name[64];
    swprintf(name, 64, L"@test_cvsrv%04X", GetCurrentProcessId());
    const std::wstring target = TempFolder() + L"cvsrv-quick.evt";
    {
        CCvQuick quick;
        EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), OpenStatus(name));
        quick.Get().SnapshotSecurityLog(target.c_str());
    }
    EXPECT_EQ(0u, OpenStatus(name));

    // The service records in its log which session saved it.
    const std::string bytes = ReadBytes(target);
    DeleteFileW(target.c_str());
    ASSERT_GT(bytes.size(), 8u);
    EXPECT_EQ("LfLe", bytes.substr(4, 4));
    const std::wstring recorded = name;
    const std::string utf16(reinterpret_cast<const char*>(recorded.c_str()), (recorded.size() + 1) * 2);
    EXPECT_NE(std::string::npos, bytes.find(utf16)) << Narrow(recorded) << " not in the log";
}

TEST_F(ServiceClient, QuickRaisesTheRefusalAsItsOwn) {
    Uninstall();
    try {
        CCvQuick quick;
        ADD_FAILURE() << "opened without the service";
    } catch (const CvBase::CCvError& error) {
        EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), error.GetCode());
        EXPECT_EQ(L"CCvQuick::CCvQuick", FunctionOf(error));
    }
}

// The version records carry the installed product's major version, which the
// service checks against its own.
TEST_F(ServiceClient, VersionRecordsFollowClientVersion) {
    SavedKey version(L"SOFTWARE\\Altorum\\Corvane 5");
    for (const wchar_t* text : {L"8.3", L"7.1", L"12.0", L"beta", L""}) {
        version.SetString(L"ClientVersion", text);
        EXPECT_EQ(0u, OpenStatus(L"@version")) << Narrow(text);
    }
    version.Remove();
    EXPECT_EQ(0u, OpenStatus(L"@version"));
}

// The library that records what it is handed, loaded in place of the service's:
// the client binds the library of that name that is loaded already.
class RecordedCalls : public ::testing::Test {
protected:
    void SetUp() override {
        m_library = LoadLibraryW((ExeFolder() + L"\\recorder\\CvSrvApi.dll").c_str());
        ASSERT_NE(nullptr, m_library);
        set = reinterpret_cast<void (*)(HANDLE, DWORD)>(GetProcAddress(m_library, "RecorderSet"));
        flags = reinterpret_cast<DWORD (*)()>(GetProcAddress(m_library, "RecorderFlags"));
        closes = reinterpret_cast<int (*)(HANDLE*)>(GetProcAddress(m_library, "RecorderCloses"));
        ASSERT_TRUE(set && flags && closes);
    }
    void TearDown() override { FreeLibrary(m_library); }

    HMODULE m_library = nullptr;
    void (*set)(HANDLE session, DWORD closeStatus) = nullptr;
    DWORD (*flags)() = nullptr;
    int (*closes)(HANDLE* closed) = nullptr;
};

TEST_F(RecordedCalls, SessionFlagsReachTheLibrary) {
    set(reinterpret_cast<HANDLE>(0x5E55), 0);
    {
        CCvQuick quick;
        EXPECT_EQ(0x1002u, flags());
    }
    CCvSrv client;
    client.OpenSession(L"@flags", 0x10);
    EXPECT_EQ(0x12u, flags());  // the session flag 2 added to the caller's
    client.CloseSession();
}

TEST_F(RecordedCalls, CloseSessionRaisesANullHandleAndTheLibrarysStatus) {
    const struct {
        const char* name;
        HANDLE session;
        DWORD status;
        DWORD raised;
        int closes;  // calls of CvCloseSession
    } cases[] = {
        {"null handle from the library", nullptr, 0, ERROR_INVALID_HANDLE, 0},
        {"library refuses to close", reinterpret_cast<HANDLE>(0x5E55), ERROR_BUSY, ERROR_BUSY, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        set(c.session, c.status);
        CCvSrv client;
        client.OpenSession(L"@close", 0);
        try {
            client.CloseSession();
            ADD_FAILURE() << "closed";
        } catch (const CvBase::CCvError& error) {
            EXPECT_EQ(c.raised, error.GetCode());
            EXPECT_EQ(L"CCvSrv::CloseSession", FunctionOf(error));
        }
        HANDLE closed = nullptr;
        EXPECT_EQ(c.closes, closes(&closed));
        EXPECT_EQ(c.closes ? c.session : nullptr, closed);
    }
}

}  // namespace
