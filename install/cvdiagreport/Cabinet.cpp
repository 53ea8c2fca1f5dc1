#include "Cabinet.h"

#include "CvTrace.h"
#include "Win32Objects.h"
#include "cvexception.h"
#include "utility.h"

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <sys/stat.h>

#include <cstring>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace {

constexpr const wchar_t* kSourceFile = L"Cabinet";
constexpr unsigned kLinePathTooLong = 470;
constexpr unsigned kLineCreate = 483;
constexpr unsigned kLineAddFile = 512;
constexpr unsigned kLineClose = 536;

// The most uncompressed bytes that one folder of a cabinet holds. A file lies
// within one folder (only a file continued into the next cabinet spans two),
// so no larger file can be packed; the file size field's 4 GiB lies above.
constexpr unsigned long long kLargestFile = 0x7FFF8000;
// FCI's error for data beyond the cabinet format's limits (FCIERR_CAB_FORMAT_LIMIT).
constexpr int kFciCabFormatLimit = 9;

// A path that came back from FCI; false when it is not UTF-8.
bool FromUtf8(const char* text, std::wstring& wide) {
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    if (length == 0) return false;
    wide.assign(length, L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, &wide[0], length);
    wide.resize(length - 1);
    return true;
}

// The FCI callbacks. File handles are C run-time descriptors; names are UTF-8.

int __cdecl FciFilePlaced(PCCAB, char*, LONG, BOOL, void*) { return 0; }

// FCI deflates every 32 KB block with a compressor state of its own, which it
// allocates and frees through the callbacks below block after block. The
// process heap gives such large blocks back to the system when they are freed
// and maps them anew for the next block, which costs more than the deflating.
// The blocks that FCI frees are kept here by size for its next requests of
// that size, and given back to the heap when the cabinet is done.
class BlockCache {
public:
    // A zero-filled block of the size, one kept if there is one.
    void* Take(ULONG size) {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            std::vector<Header*>& kept = m_kept[size];
            if (!kept.empty()) {
                Header* header = kept.back();
                kept.pop_back();
                memset(header + 1, 0, size);
                return header + 1;
            }
        }
        auto* header = static_cast<Header*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(Header) + size));
        if (!header) return nullptr;
        header->size = size;
        return header + 1;
    }

    void Keep(void* memory) {
        if (!memory) return;
        Header* header = static_cast<Header*>(memory) - 1;
        std::lock_guard<std::mutex> lock(m_lock);
        m_kept[header->size].push_back(header);
    }

    void Release() {
        std::lock_guard<std::mutex> lock(m_lock);
        for (auto& [size, kept] : m_kept)
            for (Header* header : kept) HeapFree(GetProcessHeap(), 0, header);
        m_kept.clear();
    }

private:
    // Before each block: its size, in 16 bytes so that the block stays aligned as the heap aligns.
    struct alignas(16) Header {
        ULONG size;
    };
    std::mutex m_lock;
    std::map<ULONG, std::vector<Header*>> m_kept;
};

BlockCache& Blocks() {
    static BlockCache blocks;
    return blocks;
}

void* __cdecl FciAllocate(ULONG size) { return Blocks().Take(size); }

void __cdecl FciFree(void* memory) { Blocks().Keep(memory); }

INT_PTR __cdecl FciOpen(char* name, int flags, int mode, int* err, void*) {
    std::wstring path;
    if (!FromUtf8(name, path)) {
        *err = EINVAL;
        return -1;
    }
    const int file = _wopen(path.c_str(), flags, mode);
    if (file == -1) *err = errno;
    return file;
}

// A source's bytes are hashed as FCI reads them (on the queue's thread, beside FCI's
// compressing): no file is read twice.
UINT __cdecl FciRead(INT_PTR file, void* buffer, UINT size, int* err, void* context) {
    const int result = _read(static_cast<int>(file), buffer, size);
    if (result == -1) {
        *err = errno;
        return static_cast<UINT>(result);
    }
    Cabinet::Compress::Adding& adding = *static_cast<Cabinet::Compress::Adding*>(context);
    if (file == adding.sourceFile) {
        try {
            adding.digests.Update(adding.number, buffer, static_cast<size_t>(result));
        } catch (...) {
            // Nothing unwinds through FCI: the file is left out as unreadable.
            *err = EIO;
            return static_cast<UINT>(-1);
        }
        adding.read += static_cast<unsigned>(result);
    }
    return static_cast<UINT>(result);
}

UINT __cdecl FciWrite(INT_PTR file, void* buffer, UINT size, int* err, void*) {
    const int result = _write(static_cast<int>(file), buffer, size);
    if (result == -1) *err = errno;
    return static_cast<UINT>(result);
}

int __cdecl FciClose(INT_PTR file, int* err, void* context) {
    Cabinet::Compress::Adding& adding = *static_cast<Cabinet::Compress::Adding*>(context);
    if (file == adding.sourceFile) adding.sourceFile = -1;
    const int result = _close(static_cast<int>(file));
    if (result == -1) *err = errno;
    return result;
}

LONG __cdecl FciSeek(INT_PTR file, LONG distance, int origin, int* err, void*) {
    const long result = _lseek(static_cast<int>(file), distance, origin);
    if (result == -1) *err = errno;
    return result;
}

int __cdecl FciDelete(char* name, int* err, void*) {
    std::wstring path;
    if (!FromUtf8(name, path)) {
        *err = EINVAL;
        return -1;
    }
    const int result = _wremove(path.c_str());
    if (result == -1) *err = errno;
    return result;
}

BOOL __cdecl FciGetTempFile(char* name, int size, void*) {
    // Wide calls: the temporary folder may hold characters that the ANSI code
    // page lacks.
    wchar_t folder[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
    if (length == 0 || length > MAX_PATH) wcscpy(folder, L".");
    wchar_t made[MAX_PATH];
    if (!GetTempFileNameW(folder, L"cab", 0, made)) return FALSE;
    DeleteFileW(made);
    const std::string utf8 = ToUtf8(made);
    if (utf8.size() >= static_cast<size_t>(size)) return FALSE;
    memcpy(name, utf8.c_str(), utf8.size() + 1);
    return TRUE;
}

BOOL __cdecl FciGetNextCabinet(PCCAB, ULONG, void*) { return FALSE; }

LONG __cdecl FciStatus(UINT type, ULONG, ULONG, void* context) {
    Cabinet::Compress::Callback* progress = static_cast<Cabinet::Compress::Adding*>(context)->progress;
    if (type == statusFile && progress) {
        try {
            progress->OnPacking();
        } catch (...) {
            // The display must not unwind through FCI; it goes on at the next file.
        }
    }
    return 0;
}

// Hands FCI the source that operator << opened, with what it read of it.
INT_PTR __cdecl FciGetOpenInfo(char*, USHORT* date, USHORT* time, USHORT* attributes, int* err, void* context) {
    Cabinet::Compress::Adding& adding = *static_cast<Cabinet::Compress::Adding*>(context);
    const int file = adding.source.IsValid()
                         ? _open_osfhandle(reinterpret_cast<intptr_t>(adding.source.Get()), _O_RDONLY | _O_BINARY)
                         : -1;
    if (file == -1) {
        *err = adding.source.IsValid() ? errno : EBADF;
        return -1;
    }
    adding.source.Detach();  // closed by FCI through FciClose
    adding.sourceFile = file;
    *date = adding.date;
    *time = adding.time;
    *attributes = adding.attributes;
    return file;
}

// The C run-time error of a source that cannot be opened, as FCI reports it.
int OpenError(DWORD code) {
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return EACCES;
        default:
            return EIO;
    }
}

// The Windows code that a C run-time error of the cabinet library stands for; 0 for none.
DWORD WindowsCode(int type) {
    switch (type) {
        case ENOSPC: return ERROR_DISK_FULL;
        case EACCES: return ERROR_ACCESS_DENIED;
        case ENOENT: return ERROR_FILE_NOT_FOUND;
        case EMFILE: return ERROR_TOO_MANY_OPEN_FILES;
        case EBADF: return ERROR_INVALID_HANDLE;
        case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
        case EEXIST: return ERROR_FILE_EXISTS;
        case EINVAL: return ERROR_INVALID_PARAMETER;
        case EFBIG: return ERROR_FILE_TOO_LARGE;
        default: return 0;
    }
}

// The cabinet library's failure of an operation with a C run-time error, for a file; its
// description ends with the system's words for what the error stands for (a full disk, say).
[[noreturn]] void ThrowCabinetError(unsigned line, const wchar_t* function, int operation, int type,
                                    const std::wstring& file) {
    const std::wstring inserts[] = {CvBase::FormatErrorCode(operation), CvBase::FormatErrorCode(type), file};
    CvBase::CCvError error(0xE600001B, kSourceFile, line, function, inserts, 3);
    if (const DWORD code = WindowsCode(type))
        error.SetEntry(L"Description", std::wstring(error.GetDescription()) + L" " + CvBase::FormatErrorMessage(code));
    throw error;
}

}  // namespace

namespace Cabinet {
namespace Compress {

namespace {

StoredName Encode(const std::wstring& name) {
    // A character the code page lacks becomes its default character, never a
    // look-alike (which could be a "\"), and so fails the round trip.
    const DWORD flags = GetACP() == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
    std::string ansi = Narrow(name, CP_ACP, flags);
    if (CvBase::Dlls::Widen(ansi.c_str(), CP_ACP) == name) return {name, std::move(ansi), false};
    return {name, ToUtf8(name), true};
}

}  // namespace

StoredName MakeStoredName(const std::wstring& name) {
    StoredName stored = Encode(name);
    if (stored.bytes.size() < CB_MAX_FILENAME) return stored;
    const size_t slash = name.rfind(L'\\');
    const size_t start = slash == std::wstring::npos ? 0 : slash + 1;
    size_t dot = name.rfind(L'.');
    if (dot == std::wstring::npos || dot < start) dot = name.size();
    size_t half = (dot - start) / 2;
    if (half > 0 && IS_HIGH_SURROGATE(name[start + half - 1])) --half;
    std::wstring head = name.substr(start, half);
    std::wstring tail = name.substr(start + head.size(), dot - start - head.size());
    // Characters go one at a time, a surrogate pair as one.
    while (!head.empty() || !tail.empty()) {
        if (head.size() >= tail.size())
            head.resize(head.size() - (head.size() > 1 && IS_LOW_SURROGATE(head.back()) ? 2 : 1));
        else
            tail.erase(0, tail.size() > 1 && IS_HIGH_SURROGATE(tail.front()) ? 2 : 1);
        stored = Encode(name.substr(0, start) + head + L"~" + tail + name.substr(dot));
        if (stored.bytes.size() < CB_MAX_FILENAME) break;
    }
    return stored;
}

USHORT StoredAttributes(DWORD fileAttributes, bool nameIsUtf) {
    const USHORT own = static_cast<USHORT>(fileAttributes & 0xFFFF & ~(_A_NAME_IS_UTF | _A_EXEC));
    return nameIsUtf ? static_cast<USHORT>(own | _A_NAME_IS_UTF) : own;
}

}  // namespace Compress
}  // namespace Cabinet

CCompressedFile::CCompressedFile(const std::wstring& cabPath, TCOMP compression,
                                 Cabinet::Compress::Callback* progress)
    : m_ccab(), m_erf(), m_compression(compression), m_path(cabPath) {
    m_adding.progress = progress;
    static const wchar_t* const function = L"CCompressedFile::CCompressedFile";
    const std::string path = ToUtf8(cabPath);
    if (path.size() >= sizeof(m_ccab.szCabPath))
        CvBase::ThrowError(ERROR_FILENAME_EXCED_RANGE, kSourceFile, kLinePathTooLong, function, cabPath);

    // One cabinet of any size, one folder: FCI takes a zero limit literally.
    m_ccab.cb = CB_MAX_DISK;
    m_ccab.cbFolderThresh = CB_MAX_DISK;
    const size_t slash = path.rfind('\\');
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    memcpy(m_ccab.szCabPath, path.data(), nameStart);
    memcpy(m_ccab.szCab, path.data() + nameStart, path.size() - nameStart);

    m_context = m_lib.FCICreate(&m_erf, FciFilePlaced, FciAllocate, FciFree, FciOpen, FciRead, FciWrite, FciClose,
                                FciSeek, FciDelete, FciGetTempFile, &m_ccab, &m_adding);
    if (!m_context)
        ThrowCabinetError(kLineCreate, function, m_erf.erfOper, m_erf.erfType, cabPath);
}

CCompressedFile::~CCompressedFile() {
    if (!m_context) return;
    try {
        m_lib.FCIFlushCabinet(m_context, FALSE, FciGetNextCabinet, FciStatus);
    } catch (...) {
    }
    try {
        m_lib.FCIDestroy(m_context);
    } catch (...) {
    }
    Blocks().Release();
}

CCompressedFile& CCompressedFile::operator<<(const PackItem& item) {
    static const wchar_t* const function = L"CCompressedFile::operator <<";
    GetTrace().Trace(2, L"[%s] Packing: \"%s\"", function, item.Source.c_str());
    m_results.emplace_back();
    PackResult& result = m_results.back();
    m_adding.number = m_results.size() - 1;

    const size_t slash = item.Source.rfind(L'\\');
    const std::wstring fileName = slash == std::wstring::npos ? item.Source : item.Source.substr(slash + 1);
    const std::wstring storedName = JoinPath(item.Folder.c_str(), fileName.c_str(), L'\\');
    const Cabinet::Compress::StoredName stored = Cabinet::Compress::MakeStoredName(storedName);
    std::string source = ToUtf8(item.Source);
    std::string name = stored.bytes;
    result.Name = stored.name;

    auto refuse = [&](int operation, int type) {
        const DWORD code = GetLastError();
        m_broken = operation != FCIERR_OPEN_SRC && operation != FCIERR_READ_SRC;
        result.Error = operation == FCIERR_OPEN_SRC || !WindowsCode(type) ? code : WindowsCode(type);
        m_adding.source.Close();
        GetTrace().Trace(4, L"[%s] FCIAddFile(), error: 0x%08X - can't pack \"%s\"", function, code,
                         item.Source.c_str());
        ThrowCabinetError(kLineAddFile, function, operation, type, item.Source);
    };
    // The source is opened and read here, once, and handed to FCI open by the
    // open-info callback, which so cannot fail: FCI may go on counting a file
    // whose open-info callback failed and then fail the flush of the whole
    // cabinet. A source that cannot be opened is refused with the error FCI
    // would give.
    const std::wstring path = LongPath(item.Source);
    m_adding.source.Attach(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    // The attributes by path: far cheaper than by handle where the volume is
    // looked up as well.
    WIN32_FILE_ATTRIBUTE_DATA info;
    if (!m_adding.source.IsValid() || !GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &info))
        refuse(FCIERR_OPEN_SRC, OpenError(GetLastError()));
    // A file that no cabinet folder can hold is refused before any of it is read.
    const unsigned long long size = (static_cast<unsigned long long>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    if (size > kLargestFile) {
        m_adding.source.Close();
        result.Error = ERROR_FILE_TOO_LARGE;
        GetTrace().Trace(4, L"[%s] File too large: %llu B, a cabinet holds at most %llu B of one file - can't pack \"%s\"",
                         function, size, kLargestFile, item.Source.c_str());
        ThrowCabinetError(kLineAddFile, function, kFciCabFormatLimit, EFBIG, item.Source);
    }
    m_adding.attributes = Cabinet::Compress::StoredAttributes(info.dwFileAttributes, stored.isUtf);
    // The creation time, in local time.
    FILETIME local;
    if (!FileTimeToLocalFileTime(&info.ftCreationTime, &local) ||
        !FileTimeToDosDateTime(&local, &m_adding.date, &m_adding.time))
        m_adding.date = m_adding.time = 0;

    m_adding.read = 0;
    const BOOL added = m_lib.FCIAddFile(m_context, source.data(), name.data(), FALSE, FciGetNextCabinet, FciStatus,
                                        FciGetOpenInfo, m_compression);
    if (!added) refuse(m_erf.erfOper, m_erf.erfType);
    m_adding.source.Close();
    m_adding.digests.End(m_adding.number);
    result.Packed = true;
    result.Size = m_adding.read;
    GetTrace().Trace(2, L"[%s] Packed: \"%s\" - \"\\%s\"", function, item.Source.c_str(), stored.name.c_str());
    return *this;
}

std::vector<PackResult> CCompressedFile::Results() {
    const std::map<size_t, std::string> digests = m_adding.digests.Digests();
    std::vector<PackResult> results = m_results;
    for (const auto& [number, digest] : digests) results[number].Sha256 = digest;
    return results;
}

void CCompressedFile::Close() {
    static const wchar_t* const function = L"CCompressedFile::Close";
    const BOOL written = m_lib.FCIFlushCabinet(m_context, FALSE, FciGetNextCabinet, FciStatus);
    const DWORD code = GetLastError();
    const ERF erf = m_erf;
    m_lib.FCIDestroy(std::exchange(m_context, nullptr));
    Blocks().Release();
    if (!written) {
        GetTrace().Trace(4, L"[%s] FCIFlushCabinet(), error: 0x%08X - can't write \"%s\"", function, code,
                         m_path.c_str());
        ThrowCabinetError(kLineClose, function, erf.erfOper, erf.erfType, m_path);
    }
}

std::vector<PackResult> Cabinet_CompressFiles(const std::wstring& cabPath, const std::vector<PackItem>& list,
                                              Cabinet::Compress::Callback* callback, const ClosingFile* closing) {
    static const wchar_t* const function = L"Cabinet_CompressFiles";
    std::vector<PackResult> results;
    const size_t count = list.size() + (closing ? 1 : 0);
    if (count == 0) return results;
    auto next = [&](size_t index) {
        if (index < list.size()) return list[index].Source.c_str();
        return closing && index == list.size() ? closing->Item.Source.c_str() : nullptr;
    };
    if (callback) callback->OnProgress(next(0), 0.0);

    // A cabinet that could not be finished is no archive to send: it goes.
    try {
        CCompressedFile cabinet(cabPath, tcompTYPE_MSZIP, callback);
        auto add = [&](const PackItem& item) {
            try {
                cabinet << item;
            } catch (const CvBase::CCvError& error) {
                GetTrace().Trace(4, L"[%s] %s", function, error.GetDump());
                if (cabinet.IsBroken()) throw;
            } catch (...) {
                GetTrace().Trace(4, L"[%s] Unknown exception", function);
            }
        };
        for (size_t done = 1; done <= list.size(); ++done) {
            add(list[done - 1]);
            if (callback) callback->OnProgress(next(done), 100.0 * done / count);
        }
        results = cabinet.Results();
        for (PackResult& result : results)
            if (!result.Packed && !result.Error) result.Error = ERROR_READ_FAULT;
        if (closing) {
            closing->Write(results);
            add(closing->Item);
            if (callback) callback->OnProgress(nullptr, 100.0);
        }
        cabinet.Close();
    } catch (...) {
        if (!DeleteFileW(cabPath.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND)
            GetTrace().Trace(4, L"[%s] DeleteFile( \"%s\" ), 0x%08X", function, cabPath.c_str(), GetLastError());
        throw;
    }
    return results;
}
