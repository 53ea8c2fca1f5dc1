#include "DumpSearch.h"

#include <map>
#include <memory>
#include <optional>

#include "CvTrace.h"
#include "TimedWork.h"
#include "Win32Objects.h"
#include "cvexception.h"

namespace {

const unsigned long long TicksPerMinute = 600000000ull;

// Hidden folders directly under a drive root that hold no dumps worth listing.
const wchar_t* const RootSkipList[] = {L"$RECYCLE.BIN", L"System Volume Information", L"Recovery", L"MSOCache",
                                       L"Config.Msi"};

bool IsDotEntry(const wchar_t* name) {
    size_t length = 0;
    while (name[length] == L'.') ++length;
    return name[length] == 0 && length >= 1 && length <= 4;
}

bool IsSkippedAtRoot(const wchar_t* name) {
    for (const wchar_t* skipped : RootSkipList)
        if (CompareStringOrdinal(name, -1, skipped, -1, TRUE) == CSTR_EQUAL) return true;
    return false;
}

// The walk looks for "*.dmp" files.
bool HasDumpExtension(const wchar_t* name) {
    const size_t length = wcslen(name);
    return length >= 4 && CompareStringOrdinal(name + length - 4, 4, L".dmp", 4, TRUE) == CSTR_EQUAL;
}

unsigned long long Ticks(const FILETIME& time) {
    return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// A physical disk and the drive letters on it, in the order of the drive list.
struct Disk {
    DWORD number;
    bool known;  // false: the number could not be read; the drive is walked alone
    std::wstring letters;
};

}  // namespace

namespace Dump {

// The task of one physical disk: its drives one after another.
static std::list<FileInfo> SearchDisk(Disk disk, AgeLimit age) {
    const wchar_t* const function = L"Dump::SearchDisk";
    if (disk.known)
        GetTrace().Trace(2, L"[%s] HardDisk: [%u, %s]", function, disk.number, disk.letters.c_str());
    else
        GetTrace().Trace(2, L"[%s] HardDisk: [unknown, %s]", function, disk.letters.c_str());
    std::list<FileInfo> found;
    for (const wchar_t letter : disk.letters) {
        const wchar_t root[] = {letter, L':', 0};
        GetTrace().Trace(2, L"[%s] Enumerate \"%s\" <<", function, root);
        std::list<FileInfo> drive;
        DiagReport::EnumerateFolder_Recursive(root, drive, age);
        GetTrace().Trace(2, L"[%s] Enumerate \"%s\" >> %lu dumps", function, root,
                         static_cast<unsigned long>(drive.size()));
        found.splice(found.end(), drive);
    }
    return found;
}

}  // namespace Dump

bool CheckMagic(const std::wstring& path, const std::vector<Dump::Signature>& signatures) {
    CvBase::CWin32Handle file(CreateFileW((L"\\\\?\\" + path).c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid()) {
        GetTrace().Trace(4, L"[%s] Can't open: \"%s\", error: 0x%08x", L"CheckMagic", path.c_str(), GetLastError());
        return false;
    }
    char head[8];
    DWORD read = 0;
    if (!ReadFile(file.Get(), head, sizeof head, &read, nullptr)) read = 0;
    for (const Dump::Signature& signature : signatures)
        if (signature.length <= read && memcmp(head, signature.bytes, signature.length) == 0) return true;
    return false;
}

namespace Dump {

bool Check_Size(const std::wstring& path, unsigned long long size) {
    const wchar_t* const function = L"Dump::Check_Size";
    if (size < 8) {
        GetTrace().Trace(2, L"[%s] Dump \"%s\": skipped, too small (%llu bytes)", function, path.c_str(), size);
        return false;
    }
    GetTrace().Trace(2, L"[%s] Ok", function);
    return true;
}

bool Check_Magic(const std::wstring& path) {
    const wchar_t* const function = L"Dump::Check_Magic";
    static const std::vector<Signature> signatures = {{"MDMP\x93\xA7", 6}, {"PAGEDU", 6}};
    if (!CheckMagic(path, signatures)) {
        GetTrace().Trace(2, L"[%s] Dump \"%s\": skipped, magic error", function, path.c_str());
        return false;
    }
    GetTrace().Trace(2, L"[%s] Ok", function);
    return true;
}

bool Check_Time(const std::wstring& path, const FILETIME& lastWrite, const AgeLimit& age) {
    const wchar_t* const function = L"Dump::Check_Time";
    const long long elapsed = static_cast<long long>(age.now - Ticks(lastWrite));
    const unsigned long long minutes = elapsed > 0 ? elapsed / TicksPerMinute : 0;
    if (minutes >= age.limit) {
        GetTrace().Trace(2, L"[%s] Dump \"%s\": skipped, too old", function, path.c_str());
        return false;
    }
    GetTrace().Trace(2, L"[%s] Ok", function);
    return true;
}

}  // namespace Dump

void DiagReport::EnumerateFolder(const std::wstring& folder, std::list<Dump::FileInfo>& dumps,
                                 const Dump::AgeLimit& age, std::vector<std::wstring>& subfolders) {
    const wchar_t* const function = L"DiagReport::EnumerateFolder";
    const std::wstring search = L"\\\\?\\" + JoinPath(folder.c_str(), L"*", L'\\');
    WIN32_FIND_DATAW entry;
    const CvBase::CFindHandle find(FindFirstFileExW(search.c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch,
                                                    nullptr, FIND_FIRST_EX_LARGE_FETCH));
    if (!find.IsValid()) {
        const DWORD code = GetLastError();
        if (code != ERROR_FILE_NOT_FOUND)
            GetTrace().Trace(4, L"[%s] FindFirstFile(\"%s\"), 0x%08X", function, search.c_str(), code);
        return;
    }
    const bool isRoot = folder.size() == 2;
    do {
        const wchar_t* const name = entry.cFileName;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (IsDotEntry(name)) continue;
            if (isRoot && (entry.dwFileAttributes & FILE_ATTRIBUTE_HIDDEN) && IsSkippedAtRoot(name)) continue;
            const std::wstring path = JoinPath(folder.c_str(), name, L'\\');
            // A junction or symbolic link may lead back to an ancestor.
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
                GetTrace().Trace(2, L"[%s] \"%s\": reparse point, not entered", function, path.c_str());
            else
                subfolders.push_back(path);
            continue;
        }
        if (!HasDumpExtension(name)) continue;
        const std::wstring path = JoinPath(folder.c_str(), name, L'\\');
        const unsigned long long size = (static_cast<unsigned long long>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
        if (Dump::Check_Size(path, size) && Dump::Check_Magic(path) &&
            Dump::Check_Time(path, entry.ftLastWriteTime, age)) {
            dumps.push_back({path, size});
            GetTrace().Trace(2, L"[%s] Dump \"%s\": added", function, path.c_str());
        }
    } while (FindNextFileW(find.Get(), &entry));
    const DWORD code = GetLastError();
    if (code != ERROR_NO_MORE_FILES)
        GetTrace().Trace(4, L"[%s] FindNextFile(\"%s\"), 0x%08X", function, search.c_str(), code);
}

void DiagReport::EnumerateFolder_Recursive(const std::wstring& folder, std::list<Dump::FileInfo>& dumps,
                                           const Dump::AgeLimit& age) {
    // Folders still to walk, the next one last: a list of its own instead of
    // the thread's stack, which trees deep enough for the longest paths
    // would overflow.
    std::vector<std::wstring> pending = {folder};
    std::vector<std::wstring> subfolders;
    while (!pending.empty()) {
        const std::wstring current = std::move(pending.back());
        pending.pop_back();
        subfolders.clear();
        EnumerateFolder(current, dumps, age, subfolders);
        pending.insert(pending.end(), std::make_move_iterator(subfolders.rbegin()),
                       std::make_move_iterator(subfolders.rend()));
    }
}

void DiagReport::Find_Dumps(std::list<Dump::FileInfo>& dumps, DWORD limit) const {
    const wchar_t* const function = L"DiagReport::Find_Dumps";
    if (limit != 0)
        GetTrace().Trace(2, L"[%s] Dumps older then [%uD %uH %uM] will be skipped", function, limit / 1440,
                         limit / 60 % 24, limit % 60);

    // The disk numbers come from the volumes' drivers, all asked under one limit: when one of them
    // hangs, every drive is searched alone.
    std::vector<wchar_t> local;
    for (const DriveEntry& drive : Drives)
        if (drive.IsLocalDisk) local.push_back(drive.Letter);
    auto numbers = std::make_shared<std::vector<std::optional<DWORD>>>();
    DWORD (*const getDiskId)(wchar_t) = GetDiskId;
    const bool numbersRead = CvBase::RunTimed(Limits.Call, function, L"Disk numbers", [numbers, local, getDiskId] {
        for (const wchar_t letter : local) {
            try {
                numbers->push_back(getDiskId(letter));
            } catch (const CvBase::CCvError& error) {
                // A virtual or encrypted volume whose driver does not tell its
                // disk: the drive is still searched.
                GetTrace().Trace(4, L"[%s] Disk of \"%c:\" unknown, 0x%08X: searched alone", L"DiagReport::Find_Dumps",
                                 letter, error.GetCode());
                numbers->push_back(std::nullopt);
            }
        }
    });
    std::map<DWORD, std::wstring> numbered;
    std::wstring unnumbered;
    for (size_t i = 0; i < local.size(); ++i) {
        if (numbersRead && (*numbers)[i])
            numbered[*(*numbers)[i]] += local[i];
        else
            unnumbered += local[i];
    }
    std::vector<Disk> disks;
    for (const auto& [number, letters] : numbered) disks.push_back({number, true, letters});
    for (const wchar_t letter : unnumbered) disks.push_back({0, false, std::wstring(1, letter)});

    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const Dump::AgeLimit age = {Ticks(now), limit};
    // One task per disk, all started at once, each with its limit from its start.
    std::vector<std::pair<CvBase::CTimedWork, std::shared_ptr<std::list<Dump::FileInfo>>>> tasks;
    for (const Disk& disk : disks) {
        auto found = std::make_shared<std::list<Dump::FileInfo>>();
        tasks.emplace_back(CvBase::CTimedWork([found, disk, age] { *found = Dump::SearchDisk(disk, age); }), found);
    }
    for (size_t i = 0; i < tasks.size(); ++i) {
        const std::wstring what = L"Dump search of \"" + disks[i].letters + L"\"";
        if (tasks[i].first.Wait(Limits.DiskSearch, function, what.c_str()))
            dumps.splice(dumps.end(), *tasks[i].second);
    }
}
