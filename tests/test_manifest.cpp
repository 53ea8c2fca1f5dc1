// The archive's manifest from fixture records: its fields in order, every kind of file entry,
// names that need escaping, and local times with their offset.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "Manifest.h"
#include "cvexception.h"
#include "utility.h"

namespace {

using Json = nlohmann::ordered_json;

ManifestRecords Fixture() {
    ManifestRecords records;
    records.Version = L"8.3.1406.0";
    records.Started = "2026-12-10T14:03:07+05:45";
    records.Finished = "2026-12-10T14:03:59+05:45";
    records.Steps = {{L"Collecting data", L"ok", 12.3456}, {L"Exporting Windows event logs", L"ok", 0.5}};
    records.Sections = {{L"Hardware", L"ok", 0.25}, {L"Policy", L"timed out", 120.0},
                        {L"Subsystems", L"fault", 0.001}, {L"RegKeys", L"error 0x00000005", 1.0}};
    PackResult packed;
    packed.Name = L"Logs\\Corvane\\a \"quoted\" \\ Жук 日志.log";
    packed.Packed = true;
    packed.Size = 5000000000ull;
    packed.Sha256 = std::string(64, 'a');
    PackResult locked;
    locked.Name = L"Logs\\Corvane\\locked.log";
    locked.Error = ERROR_SHARING_VIOLATION;
    PackResult large;
    large.Name = L"Logs\\Corvane\\huge.log";
    large.Error = ERROR_FILE_TOO_LARGE;
    records.Files = {{L"C:\\ProgramData\\Corvane\\Logs\\a \"quoted\" \\ Жук 日志.log", packed},
                     {L"C:\\ProgramData\\Corvane\\Logs\\locked.log", locked},
                     {L"C:\\ProgramData\\Corvane\\Logs\\huge.log", large}};
    records.Dumps = {{L"C:\\CrashDumps\\app.dmp", 2048}};
    records.Masked = {{L"Registry\\Winlogon.reg", L"DefaultPassword"}};
    return records;
}

TEST(Manifest, EveryFieldInOrder) {
    const std::string text = FormatManifest(Fixture());
    ASSERT_FALSE(text.empty());
    EXPECT_NE('\xEF', text[0]) << "no byte-order mark";
    const Json manifest = Json::parse(text);
    std::vector<std::string> keys;
    for (const auto& item : manifest.items()) keys.push_back(item.key());
    EXPECT_EQ((std::vector<std::string>{"tool", "version", "started", "finished", "steps", "sections", "files",
                                        "dumps", "masked"}),
              keys);
    EXPECT_EQ("CvDiagReport", manifest["tool"]);
    EXPECT_EQ("8.3.1406.0", manifest["version"]);
    EXPECT_EQ("2026-12-10T14:03:07+05:45", manifest["started"]);
    EXPECT_EQ(Json::parse(R"([{"name":"Collecting data","result":"ok","seconds":12.346},
                              {"name":"Exporting Windows event logs","result":"ok","seconds":0.5}])"),
              manifest["steps"]);
    EXPECT_EQ("timed out", manifest["sections"][1]["result"]);
    EXPECT_EQ("fault", manifest["sections"][2]["result"]);
    EXPECT_EQ("error 0x00000005", manifest["sections"][3]["result"]);
    EXPECT_EQ(Json::parse(R"([{"path":"C:\\CrashDumps\\app.dmp","size":2048}])"), manifest["dumps"]);
    EXPECT_EQ(Json::parse(R"([{"file":"Registry\\Winlogon.reg","value":"DefaultPassword"}])"), manifest["masked"]);
}

TEST(Manifest, PackedAndLeftOutFiles) {
    const Json files = Json::parse(FormatManifest(Fixture()))["files"];
    ASSERT_EQ(3u, files.size());
    // Any character survives: quotes, backslashes, Cyrillic and Chinese, as UTF-8.
    EXPECT_EQ(u8"C:\\ProgramData\\Corvane\\Logs\\a \"quoted\" \\ Жук 日志.log", files[0]["source"].get<std::string>());
    EXPECT_EQ(u8"Logs\\Corvane\\a \"quoted\" \\ Жук 日志.log", files[0]["archiveName"].get<std::string>());
    EXPECT_EQ("packed", files[0]["status"]);
    EXPECT_EQ(5000000000ull, files[0]["size"].get<unsigned long long>());
    EXPECT_EQ(std::string(64, 'a'), files[0]["sha256"]);
    EXPECT_FALSE(files[0].contains("error"));
    for (size_t i : {1, 2}) {
        SCOPED_TRACE(i);
        EXPECT_EQ("left out", files[i]["status"]);
        EXPECT_FALSE(files[i].contains("sha256"));
        EXPECT_FALSE(files[i].contains("size"));
    }
    EXPECT_EQ(32, files[1]["error"]);
    EXPECT_EQ(223, files[2]["error"]);
    // The system's own words for each code.
    EXPECT_EQ(ToUtf8(CvBase::FormatErrorMessage(ERROR_SHARING_VIOLATION)), files[1]["reason"].get<std::string>());
    EXPECT_EQ(ToUtf8(CvBase::FormatErrorMessage(ERROR_FILE_TOO_LARGE)), files[2]["reason"].get<std::string>());
}

TEST(Manifest, TextThatIsNotWholeUtf16IsReplaced) {
    ManifestRecords records = Fixture();
    records.Files[0].Source = std::wstring(L"C:\\bad") + wchar_t(0xD800) + L".log";
    const Json files = Json::parse(FormatManifest(records))["files"];
    EXPECT_EQ(u8"C:\\bad\uFFFD.log", files[0]["source"].get<std::string>());
}

TEST(ManifestTime, OffsetFromUtc) {
    std::tm local = {};
    local.tm_year = 2026 - 1900;
    local.tm_mon = 11;
    local.tm_mday = 10;
    local.tm_hour = 14;
    local.tm_min = 3;
    local.tm_sec = 7;
    const struct {
        long offset;
        const char* text;
    } cases[] = {
        {5 * 3600 + 45 * 60, "2026-12-10T14:03:07+05:45"},
        {-(3 * 3600 + 30 * 60), "2026-12-10T14:03:07-03:30"},
        {0, "2026-12-10T14:03:07+00:00"},
        {14 * 3600, "2026-12-10T14:03:07+14:00"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.text, FormatIsoTime(local, c.offset));
}

// The test runs in Nepal's time zone, five hours and 45 minutes ahead of UTC.
TEST(ManifestTime, LocalTimeOfAMoment) {
    const std::time_t moment = 1796911387;  // 2026-12-10T14:03:07Z
    EXPECT_EQ("2026-12-10T19:48:07+05:45", LocalIsoTime(moment));
}

}  // namespace
