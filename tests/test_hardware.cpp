// The hardware section of the report: WMI as Wine gives it, and the drive list.
#include <gtest/gtest.h>

#include <objbase.h>

#include <sstream>

#include "DiagReport.h"
#include "HardwareCalls.h"
#include "collector_util.h"

namespace {

// COM for the test's thread, as the report writer opens it.
class ComThread : public ::testing::Test {
protected:
    void SetUp() override { CoInitialize(nullptr); }
    void TearDown() override { CoUninitialize(); }
};

using LogHardwareInfo = ComThread;

TEST_F(LogHardwareInfo, DrivesInLetterOrderWithSystemDriveLocal) {
    DiagReport report;
    report.Drives.push_back({L'Q', false, false});  // left from an earlier run: refilled
    std::wostringstream out;
    report.LogHardwareInfo(out);
    ASSERT_FALSE(report.Drives.empty()) << Narrow(out.str());
    for (size_t i = 1; i < report.Drives.size(); ++i) EXPECT_LT(report.Drives[i - 1].Letter, report.Drives[i].Letter);
    bool systemDrive = false;
    for (const DriveEntry& drive : report.Drives) {
        EXPECT_NE(L'Q', drive.Letter);
        if (drive.Letter != L'C') continue;
        systemDrive = true;
        EXPECT_TRUE(drive.IsLocalDisk);
        EXPECT_TRUE(drive.IsLocalOrNetwork);
    }
    EXPECT_TRUE(systemDrive);
}

}  // namespace
