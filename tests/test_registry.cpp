#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "RegistryKey.h"

using CvBase::CRegistryKey;

namespace {

const wchar_t* const kTestKey = L"SOFTWARE\\CvRegistryKeyTest";
const wchar_t* const kTestPath = L"HKLM\\SOFTWARE\\CvRegistryKeyTest";

// Writes a raw value under HKLM\<kTestKey>\<subkey> in the given view.
void SetRaw(const wchar_t* subkey, const wchar_t* name, DWORD type, const void* data, DWORD size,
            REGSAM view = KEY_WOW64_64KEY) {
    const std::wstring path = subkey ? std::wstring(kTestKey) + L"\\" + subkey : std::wstring(kTestKey);
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE | view,
                                             nullptr, &key, nullptr));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size));
    RegCloseKey(key);
}

void SetDword(const wchar_t* name, DWORD value, REGSAM view = KEY_WOW64_64KEY) {
    SetRaw(nullptr, name, REG_DWORD, &value, sizeof(value), view);
}

void DeleteTestKey(REGSAM view) {
    HKEY software;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_ALL_ACCESS | view, &software) != ERROR_SUCCESS) return;
    RegDeleteTreeW(software, L"CvRegistryKeyTest");
    RegCloseKey(software);
}

// The test key exists, empty, in both registry views.
class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        TearDown();
        for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
            HKEY key;
            ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, kTestKey, 0, nullptr, 0, KEY_READ | view,
                                                     nullptr, &key, nullptr));
            RegCloseKey(key);
        }
    }
    void TearDown() override {
        DeleteTestKey(KEY_WOW64_64KEY);
        DeleteTestKey(KEY_WOW64_32KEY);
    }
};

// Opens the test key in the given view.
std::unique_ptr<CRegistryKey> OpenTestKey(REGSAM access = KEY_READ | KEY_WOW64_64KEY) {
    auto key = std::make_unique<CRegistryKey>(3);
    EXPECT_EQ(ERROR_SUCCESS, key->open(kTestKey, false, access));
    return key;
}

// Answers "retry" a number of times, then "give up", and records the questions.
class RetryingKey : public CRegistryKey {
public:
    struct Question {
        LSTATUS status;
        DWORD operation;
        std::wstring text;
    };
    RetryingKey(unsigned root, int retries) : CRegistryKey(root), retries_(retries) {}
    DWORD on_error(LSTATUS status, DWORD operation, const std::wstring& text) override {
        questions.push_back({status, operation, text});
        if (beforeRetry) beforeRetry();
        return retries_-- > 0 ? Retry : GiveUp;
    }
    std::vector<Question> questions;
    std::function<void()> beforeRetry;

private:
    int retries_;
};

}  // namespace

// ---- roots ----

struct RootCase {
    unsigned index;
    HKEY key;
    const wchar_t* path;
};

class RootTest : public ::testing::TestWithParam<RootCase> {};

TEST_P(RootTest, RootHasItsKeyAndName) {
    const RootCase& c = GetParam();
    CRegistryKey key(c.index);
    EXPECT_EQ(c.key, key.handle());
    EXPECT_EQ(c.path, key.path());
}

INSTANTIATE_TEST_SUITE_P(Roots, RootTest,
                         ::testing::Values(RootCase{0, nullptr, L"NONE"}, RootCase{1, HKEY_CLASSES_ROOT, L"HKCR"},
                                           RootCase{2, HKEY_CURRENT_USER, L"HKCU"},
                                           RootCase{3, HKEY_LOCAL_MACHINE, L"HKLM"}, RootCase{4, HKEY_USERS, L"HKU"},
                                           RootCase{5, HKEY_CURRENT_CONFIG, L"HKCC"},
                                           RootCase{6, HKEY_DYN_DATA, L"HKDD"}, RootCase{7, nullptr, L""},
                                           RootCase{100, nullptr, L""}));

// ---- open and close ----

TEST(RegistryKey, OpenInPlaceExtendsThePathAndAFailureKeepsTheKey) {
    CRegistryKey key(3);
    ASSERT_EQ(ERROR_SUCCESS, key.open(L"SOFTWARE\\Microsoft", false, KEY_READ));
    EXPECT_EQ(L"HKLM\\SOFTWARE\\Microsoft", key.path());
    const HKEY opened = key.handle();
    ASSERT_NE(nullptr, opened);

    EXPECT_EQ(ERROR_FILE_NOT_FOUND, key.open(L"NoSuchSubkey", false, KEY_READ));
    EXPECT_EQ(L"HKLM\\SOFTWARE\\Microsoft", key.path());
    EXPECT_EQ(opened, key.handle());
    EXPECT_EQ(ERROR_SUCCESS, key.open(L"Windows", false, KEY_READ));  // still usable
    EXPECT_EQ(L"HKLM\\SOFTWARE\\Microsoft\\Windows", key.path());
}

TEST(RegistryKey, OpenRefusesMissingKeyOrSubkey) {
    CRegistryKey none(0), closed(3), parent(3);
    EXPECT_EQ(E_INVALIDARG, none.open(L"SOFTWARE", false, KEY_READ));
    EXPECT_EQ(E_INVALIDARG, closed.open(nullptr, false, KEY_READ));
    EXPECT_EQ(E_UNEXPECTED, closed.open(none, L"SOFTWARE", false, KEY_READ));
    EXPECT_EQ(E_INVALIDARG, closed.open(parent, nullptr, false, KEY_READ));
    EXPECT_EQ(L"HKLM", closed.path());
}

TEST(RegistryKey, OpenFromParent) {
    CRegistryKey parent(3);
    ASSERT_EQ(ERROR_SUCCESS, parent.open(L"SOFTWARE", false, KEY_READ));
    CRegistryKey child(2);
    ASSERT_EQ(ERROR_SUCCESS, child.open(parent, L"Microsoft", false, KEY_READ));
    EXPECT_EQ(L"HKLM\\SOFTWARE\\Microsoft", child.path());
    EXPECT_NE(parent.handle(), child.handle());
    EXPECT_EQ(L"HKLM\\SOFTWARE", parent.path());

    EXPECT_EQ(ERROR_FILE_NOT_FOUND, child.open(parent, L"NoSuchSubkey", false, KEY_READ));
    EXPECT_EQ(L"HKLM\\SOFTWARE\\Microsoft", child.path());

    // A key may be its own parent.
    ASSERT_EQ(ERROR_SUCCESS, child.open(child, L"Windows", false, KEY_READ));
    EXPECT_EQ(L"HKLM\\SOFTWARE\\Microsoft\\Windows", child.path());
    std::vector<std::wstring> names;
    EXPECT_EQ(ERROR_SUCCESS, child.enum_keys(names));
    EXPECT_FALSE(names.empty());
}

TEST_F(RegistryTest, OpenWithCreateMakesTheKey) {
    CRegistryKey key(3);
    ASSERT_EQ(ERROR_SUCCESS, key.open(kTestKey, false, KEY_READ | KEY_CREATE_SUB_KEY));
    ASSERT_EQ(ERROR_SUCCESS, key.open(L"New\\Deeper", true, KEY_READ));
    EXPECT_EQ(std::wstring(kTestPath) + L"\\New\\Deeper", key.path());
    HKEY check;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(kTestKey) + L"\\New\\Deeper").c_str(), 0,
                                           KEY_READ, &check));
    RegCloseKey(check);
}

TEST_F(RegistryTest, CloseLeavesNoHandleAndKeepsThePath) {
    auto key = OpenTestKey();
    EXPECT_EQ(ERROR_SUCCESS, key->close());
    EXPECT_EQ(nullptr, key->handle());
    EXPECT_EQ(kTestPath, key->path());
    DWORD value;
    EXPECT_EQ(E_INVALIDARG, key->get(L"x", value, 0));
}

// ---- copies ----

TEST_F(RegistryTest, CopyOutlivesItsOriginal) {
    SetDword(L"Number", 42);
    std::unique_ptr<CRegistryKey> copy;
    {
        auto original = OpenTestKey();
        copy = std::make_unique<CRegistryKey>(*original);
        EXPECT_NE(original->handle(), copy->handle());
    }
    EXPECT_EQ(kTestPath, copy->path());
    DWORD value = 0;
    EXPECT_EQ(ERROR_SUCCESS, copy->get(L"Number", value, 0));
    EXPECT_EQ(42u, value);
}

TEST(RegistryKey, CopyOfAKeyWithoutHandleIsClosedWithEmptyPath) {
    CRegistryKey none(0);
    CRegistryKey copy(none);
    EXPECT_EQ(nullptr, copy.handle());
    EXPECT_EQ(L"", copy.path());
}

// ---- enum_keys ----

TEST_F(RegistryTest, EnumKeysListsDirectSubkeys) {
    for (const wchar_t* sub : {L"Beta", L"Alpha\\Inner", L"Gamma"}) SetRaw(sub, L"v", REG_SZ, L"", 2);
    auto key = OpenTestKey();
    std::vector<std::wstring> names{L"stale"};
    ASSERT_EQ(ERROR_SUCCESS, key->enum_keys(names));
    std::sort(names.begin(), names.end());
    EXPECT_EQ((std::vector<std::wstring>{L"Alpha", L"Beta", L"Gamma"}), names);
}

TEST_F(RegistryTest, EnumKeysOfAKeyWithoutSubkeysGivesAnEmptyList) {
    auto key = OpenTestKey();
    std::vector<std::wstring> names{L"stale"};
    EXPECT_EQ(ERROR_SUCCESS, key->enum_keys(names));
    EXPECT_TRUE(names.empty());
    CRegistryKey none(0);
    EXPECT_EQ(E_INVALIDARG, none.enum_keys(names));
}

// ---- query and get ----

TEST_F(RegistryTest, QueryGivesTheRawValue) {
    const BYTE bytes[] = {1, 2, 0, 3};
    SetRaw(nullptr, L"Blob", REG_BINARY, bytes, sizeof(bytes));
    auto key = OpenTestKey();
    RegistryValue value;
    ASSERT_EQ(ERROR_SUCCESS, key->query(L"Blob", value));
    EXPECT_EQ(L"Blob", value.name);
    EXPECT_EQ(static_cast<DWORD>(REG_BINARY), value.type);
    EXPECT_EQ(std::vector<BYTE>(bytes, bytes + sizeof(bytes)), value.data);

    EXPECT_EQ(ERROR_FILE_NOT_FOUND, key->query(L"Missing", value));
    EXPECT_EQ(L"Missing", value.name);
    EXPECT_TRUE(value.data.empty());
    EXPECT_EQ(0u, value.type);
    EXPECT_EQ(E_INVALIDARG, key->query(nullptr, value));
}

struct GetCase {
    const char* label;
    DWORD type;
    std::vector<BYTE> data;  // none: the value does not exist
    bool exists;
    LSTATUS status;
    DWORD number;       // get of a number, default 7
    std::wstring text;  // get of a string, default "def"
};

std::vector<BYTE> Bytes(const std::wstring& text) {
    const BYTE* begin = reinterpret_cast<const BYTE*>(text.data());
    return std::vector<BYTE>(begin, begin + text.size() * sizeof(wchar_t));
}

std::vector<BYTE> Bytes(DWORD number) {
    const BYTE* begin = reinterpret_cast<const BYTE*>(&number);
    return std::vector<BYTE>(begin, begin + sizeof(number));
}

class GetTest : public RegistryTest, public ::testing::WithParamInterface<GetCase> {};

TEST_P(GetTest, GetsTheValueOrTheDefault) {
    const GetCase& c = GetParam();
    if (c.exists) SetRaw(nullptr, L"Value", c.type, c.data.data(), static_cast<DWORD>(c.data.size()));
    auto key = OpenTestKey();
    DWORD number = 0;
    EXPECT_EQ(c.status, key->get(L"Value", number, 7));
    EXPECT_EQ(c.number, number);
    std::wstring text = L"stale";
    EXPECT_EQ(c.status, key->get(L"Value", text, L"def"));
    EXPECT_EQ(c.text, text);
}

INSTANTIATE_TEST_SUITE_P(
    Values, GetTest,
    ::testing::Values(GetCase{"dword", REG_DWORD, Bytes(0x12345678u), true, ERROR_SUCCESS, 0x12345678u, L"def"},
                      GetCase{"string", REG_SZ, Bytes(std::wstring(L"abc", 4)), true, ERROR_SUCCESS, 7, L"abc"},
                      GetCase{"number_as_string", REG_SZ, Bytes(std::wstring(L"42", 3)), true, ERROR_SUCCESS, 7, L"42"},
                      GetCase{"only_zero", REG_SZ, Bytes(std::wstring(L"", 1)), true, ERROR_SUCCESS, 7, L""},
                      GetCase{"no_data", REG_SZ, {}, true, ERROR_SUCCESS, 7, L"def"},
                      GetCase{"cut_at_zero", REG_SZ, Bytes(std::wstring(L"ab\0cd", 6)), true, ERROR_SUCCESS, 7, L"ab"},
                      GetCase{"no_terminator", REG_SZ, Bytes(std::wstring(L"xyz")), true, ERROR_SUCCESS, 7, L"xyz"},
                      GetCase{"not_expanded", REG_EXPAND_SZ, Bytes(std::wstring(L"%windir%\\x", 11)), true,
                              ERROR_SUCCESS, 7, L"%windir%\\x"},
                      GetCase{"multi_string", REG_MULTI_SZ, Bytes(std::wstring(L"a\0b\0", 5)), true, ERROR_SUCCESS, 7,
                              L"def"},
                      GetCase{"short_dword", REG_DWORD, {1, 2}, true, ERROR_SUCCESS, 7, L"def"},
                      GetCase{"missing", REG_NONE, {}, false, ERROR_FILE_NOT_FOUND, 7, L"def"}),
    [](const ::testing::TestParamInfo<GetCase>& info) { return std::string(info.param.label); });

// ---- registry views ----

TEST_F(RegistryTest, ViewsAreSeparate) {
    SetDword(L"Bits", 64, KEY_WOW64_64KEY);
    SetDword(L"Bits", 32, KEY_WOW64_32KEY);
    SetDword(L"OnlyIn32", 1, KEY_WOW64_32KEY);

    auto view64 = OpenTestKey(KEY_READ | KEY_WOW64_64KEY);
    auto view32 = OpenTestKey(KEY_READ | KEY_WOW64_32KEY);
    DWORD bits64 = 0, bits32 = 0, only64 = 0, only32 = 0;
    EXPECT_EQ(ERROR_SUCCESS, view64->get(L"Bits", bits64, 0));
    EXPECT_EQ(ERROR_SUCCESS, view32->get(L"Bits", bits32, 0));
    EXPECT_EQ(64u, bits64);
    EXPECT_EQ(32u, bits32);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, view64->get(L"OnlyIn32", only64, 5));
    EXPECT_EQ(5u, only64);
    EXPECT_EQ(ERROR_SUCCESS, view32->get(L"OnlyIn32", only32, 5));
    EXPECT_EQ(1u, only32);
    EXPECT_EQ(kTestPath, view32->path());
}

TEST_F(RegistryTest, KeyCreatedInOneViewIsMissingInTheOther) {
    CRegistryKey in32(3);
    ASSERT_EQ(ERROR_SUCCESS, in32.open(kTestKey, false, KEY_READ | KEY_CREATE_SUB_KEY | KEY_WOW64_32KEY));
    ASSERT_EQ(ERROR_SUCCESS, in32.open(L"Sub32", true, KEY_READ | KEY_WOW64_32KEY));

    auto view64 = OpenTestKey(KEY_READ | KEY_WOW64_64KEY);
    auto view32 = OpenTestKey(KEY_READ | KEY_WOW64_32KEY);
    std::vector<std::wstring> names64, names32;
    EXPECT_EQ(ERROR_SUCCESS, view64->enum_keys(names64));
    EXPECT_EQ(ERROR_SUCCESS, view32->enum_keys(names32));
    EXPECT_TRUE(names64.empty());
    EXPECT_EQ(std::vector<std::wstring>{L"Sub32"}, names32);
}

// ---- the error hook ----

TEST(RegistryKey, HookIsAskedUntilItGivesUp) {
    RetryingKey key(3, 2);
    ASSERT_EQ(ERROR_SUCCESS, key.open(L"SOFTWARE", false, KEY_READ));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, key.open(L"NoSuchSubkey", false, KEY_READ));
    ASSERT_EQ(3u, key.questions.size());
    for (const RetryingKey::Question& q : key.questions) {
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, q.status);
        EXPECT_EQ(static_cast<DWORD>(CRegistryKey::OpOpenKey), q.operation);
        EXPECT_EQ(L"HKLM\\SOFTWARE\\NoSuchSubkey", q.text);
    }
}

TEST_F(RegistryTest, RetryRepeatsTheCall) {
    RetryingKey key(3, 1);
    ASSERT_EQ(ERROR_SUCCESS, key.open(kTestKey, false, KEY_READ));
    key.beforeRetry = [] { SetDword(L"Late", 9); };  // the value appears before the retry
    DWORD value = 0;
    EXPECT_EQ(ERROR_SUCCESS, key.get(L"Late", value, 0));
    EXPECT_EQ(9u, value);
    ASSERT_EQ(1u, key.questions.size());
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, key.questions[0].status);
    EXPECT_EQ(static_cast<DWORD>(CRegistryKey::OpQueryValue), key.questions[0].operation);
    EXPECT_EQ(std::wstring(kTestPath) + L"\"Late\"", key.questions[0].text);
}

// Each failing call names its operation and the path.
struct HookCase {
    const char* label;
    LSTATUS (*fail)(CRegistryKey& key);  // opens what it needs, then makes one call fail
    LSTATUS status;
    DWORD operation;
    const wchar_t* pathSuffix;
};

LSTATUS CreateUnderVolatileKey(CRegistryKey& key) {
    // A volatile key can only have volatile subkeys.
    HKEY raw;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(kTestKey) + L"\\Volatile").c_str(), 0, nullptr,
                    REG_OPTION_VOLATILE, KEY_READ, nullptr, &raw, nullptr);
    RegCloseKey(raw);
    key.open(kTestKey, false, KEY_READ);
    key.open(L"Volatile", false, KEY_READ | KEY_CREATE_SUB_KEY);
    return key.open(L"New", true, KEY_READ);
}

LSTATUS OpenMissingKey(CRegistryKey& key) {
    key.open(kTestKey, false, KEY_READ);
    return key.open(L"Missing", false, KEY_READ);
}

LSTATUS QueryMissingValue(CRegistryKey& key) {
    key.open(kTestKey, false, KEY_READ);
    RegistryValue value;
    return key.query(L"Missing", value);
}

LSTATUS EnumDeletedKey(CRegistryKey& key) {
    SetRaw(L"Sub", L"v", REG_SZ, L"", 2);
    key.open(kTestKey, false, KEY_READ);
    key.open(L"Sub", false, KEY_READ);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, (std::wstring(kTestKey) + L"\\Sub").c_str());
    std::vector<std::wstring> names;
    return key.enum_keys(names);
}

LSTATUS EnumWithoutEnumerateRight(CRegistryKey& key) {
    SetRaw(L"Sub", L"v", REG_SZ, L"", 2);
    key.open(kTestKey, false, KEY_QUERY_VALUE);
    std::vector<std::wstring> names;
    return key.enum_keys(names);
}

class HookTest : public RegistryTest, public ::testing::WithParamInterface<HookCase> {};

TEST_P(HookTest, NamesTheOperation) {
    const HookCase& c = GetParam();
    RetryingKey key(3, 0);
    EXPECT_EQ(c.status, c.fail(key));
    ASSERT_EQ(1u, key.questions.size());
    EXPECT_EQ(c.status, key.questions[0].status);
    EXPECT_EQ(c.operation, key.questions[0].operation);
    EXPECT_EQ(std::wstring(kTestPath) + c.pathSuffix, key.questions[0].text);
}

INSTANTIATE_TEST_SUITE_P(
    Operations, HookTest,
    ::testing::Values(HookCase{"create", CreateUnderVolatileKey, ERROR_CHILD_MUST_BE_VOLATILE,
                               CRegistryKey::OpCreateKey, L"\\Volatile\\New"},
                      HookCase{"open", OpenMissingKey, ERROR_FILE_NOT_FOUND, CRegistryKey::OpOpenKey, L"\\Missing"},
                      HookCase{"query", QueryMissingValue, ERROR_FILE_NOT_FOUND, CRegistryKey::OpQueryValue,
                               L"\"Missing\""},
                      HookCase{"query_info", EnumDeletedKey, ERROR_KEY_DELETED, CRegistryKey::OpQueryInfo, L"\\Sub"},
                      HookCase{"enum", EnumWithoutEnumerateRight, ERROR_ACCESS_DENIED, CRegistryKey::OpEnumKey, L""}),
    [](const ::testing::TestParamInfo<HookCase>& info) { return std::string(info.param.label); });
