#include "SehCatcher.h"

#include <cwchar>
#include <exception>
#include <memory>
#include <type_traits>
#include <utility>

#include "CvTrace.h"
#include "dlls.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;  // this module's image, placed by the linker

extern "C" void CvBaseSehFaultStub();           // SehFaultStub.S
extern "C" [[noreturn]] void CvBaseSehRaise();  // called by the stub
// SehFaultStub.S: calls call(context) in a frame whose exception handler is CvBaseSehGuard.
extern "C" void CvBaseSehGuardedCall(void (*call)(void*), void* context);

namespace CvBase {

namespace {

// A thread's translator, and a copy of its last fault: the exception's own record and context
// lie on the stack below the faulting frame, where the resumed thread overwrites them.
struct ThreadFault {
    SeTranslator translator = nullptr;
    EXCEPTION_RECORD record{};
    CONTEXT context{};
};
thread_local ThreadFault t_fault;

// This module's image, set once before the handler is registered.
struct ImageRange {
    DWORD64 begin;
    DWORD64 end;
};
ImageRange g_image{};

ImageRange ThisImage() {
    const auto begin = reinterpret_cast<DWORD64>(&__ImageBase);
    const auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(begin + __ImageBase.e_lfanew);
    return {begin, begin + headers->OptionalHeader.SizeOfImage};
}

// Lets the faulting thread resume in CvBaseSehFaultStub, which calls the thread's translator with
// the saved fault.
void RedirectToTranslator(const EXCEPTION_RECORD& record, CONTEXT* context) {
    ThreadFault& fault = t_fault;
    fault.record = record;
    fault.record.ExceptionRecord = nullptr;  // a nested record would not outlive the dispatch
    fault.context = *context;

    // The unwinder and the C++ run time look a frame's handlers up one byte before its return
    // address, as a return address follows its call. The fault's address + 1 makes that lookup
    // land on the faulting instruction itself and not on the one before it, which may belong to
    // another cleanup region or to none.
    context->Rsp -= sizeof(DWORD64);
    *reinterpret_cast<DWORD64*>(context->Rsp) = context->Rip + 1;
    context->Rip = reinterpret_cast<DWORD64>(&CvBaseSehFaultStub);
}

// Vectored handler, called first for every exception of the process. A fault of this module's code
// on a thread with a translator is redirected. Raised exceptions (C++ throws among them) carry an
// address inside RaiseException, outside this module.
LONG CALLBACK RedirectFault(EXCEPTION_POINTERS* pointers) {
    CONTEXT* context = pointers->ContextRecord;
    if (context->Rip < g_image.begin || context->Rip >= g_image.end) return EXCEPTION_CONTINUE_SEARCH;
    if (!t_fault.translator) return EXCEPTION_CONTINUE_SEARCH;
    RedirectToTranslator(*pointers->ExceptionRecord, context);
    return EXCEPTION_CONTINUE_EXECUTION;
}

// Codes of C++ exceptions thrown by the GCC run time (throw, unwind, forced unwind) and by the
// Microsoft one: they find their catch on their own.
bool IsCxxException(DWORD code) {
    return code == 0x20474343 || code == 0x21474343 || code == 0x22474343 || code == 0xE06D7363;
}

// Whether the thread may go on after the exception: not one raised as noncontinuable, and not
// while its stack is being unwound.
bool CanResume(const EXCEPTION_RECORD& record) {
    return (record.ExceptionFlags & (EXCEPTION_NONCONTINUABLE | EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) == 0;
}

// A fault inside the dump writer.
struct WriterFault {
    DWORD code;
};

[[noreturn]] void ThrowWriterFault(unsigned int code, EXCEPTION_POINTERS*) { throw WriterFault{code}; }

std::wstring FormatAddress(ULONG_PTR address) {
    wchar_t text[17] = {};
    _snwprintf(text, 16, L"%016llX", static_cast<unsigned long long>(address));
    return text;
}

ULONG_PTR Parameter(const EXCEPTION_RECORD& record, DWORD index) {
    return index < record.NumberParameters ? record.ExceptionInformation[index] : 0;
}

DWORD ErrorCodeOf(DWORD exceptionCode) {
    static const std::pair<DWORD, DWORD> codes[] = {
        {EXCEPTION_ARRAY_BOUNDS_EXCEEDED, 0xE6060006}, {EXCEPTION_BREAKPOINT, 0xE6060007},
        {EXCEPTION_DATATYPE_MISALIGNMENT, 0xE6060008}, {EXCEPTION_FLT_DENORMAL_OPERAND, 0xE6060009},
        {EXCEPTION_FLT_DIVIDE_BY_ZERO, 0xE606000A},    {EXCEPTION_FLT_INEXACT_RESULT, 0xE606000B},
        {EXCEPTION_FLT_INVALID_OPERATION, 0xE606000C}, {EXCEPTION_FLT_OVERFLOW, 0xE606000D},
        {EXCEPTION_FLT_STACK_CHECK, 0xE606000E},       {EXCEPTION_FLT_UNDERFLOW, 0xE606000F},
        {EXCEPTION_ILLEGAL_INSTRUCTION, 0xE6060010},   {EXCEPTION_IN_PAGE_ERROR, 0xE6060011},
        {EXCEPTION_INT_DIVIDE_BY_ZERO, 0xE6060012},    {EXCEPTION_INT_OVERFLOW, 0xE6060013},
        {EXCEPTION_INVALID_DISPOSITION, 0xE6060014},   {EXCEPTION_NONCONTINUABLE_EXCEPTION, 0xE6060015},
        {EXCEPTION_PRIV_INSTRUCTION, 0xE6060016},      {EXCEPTION_SINGLE_STEP, 0xE6060017},
        {EXCEPTION_STACK_OVERFLOW, 0xE6060018},        {0xC0000417, 0xE6060019},
        {0xC0000017, 0x8007000E},
    };
    for (const auto& [exception, error] : codes)
        if (exception == exceptionCode) return error;
    return 1064;  // ERROR_EXCEPTION_IN_SERVICE
}

struct HandleCloser {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using FileOwner = std::unique_ptr<std::remove_pointer_t<HANDLE>, HandleCloser>;

// Releasing the library keeps the last error that the dump left.
struct LibraryReleaser {
    void operator()(HMODULE module) const {
        const DWORD error = GetLastError();
        FreeLibrary(module);
        SetLastError(error);
    }
};
using LibraryOwner = std::unique_ptr<std::remove_pointer_t<HMODULE>, LibraryReleaser>;

// The value of "MiniDumpFile": the dump's path, the code of the failure to write it, or the
// message that no file could be made.
std::wstring WriteDumpFile(EXCEPTION_POINTERS* pointers) {
    const std::wstring path = GetMiniDumpPath();
    const HANDLE handle =
        CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return L"Can't create file in temp folder!";
    const FileOwner file(handle);
    return WriteMiniDump(file.get(), pointers) ? path : FormatErrorCode(GetLastError());
}

// The writer's calls: a full-memory dump, or else a normal one in the emptied file.
bool WriteDump(HANDLE file, EXCEPTION_POINTERS* pointers, MiniDumpWriter write) {
    // The exception's record and context lie in this process.
    MINIDUMP_EXCEPTION_INFORMATION exception{GetCurrentThreadId(), pointers, FALSE};
    MINIDUMP_EXCEPTION_INFORMATION* const info = pointers ? &exception : nullptr;
    const HANDLE process = GetCurrentProcess();
    const DWORD processId = GetCurrentProcessId();

    if (write(process, processId, file, MiniDumpWithFullMemory, info, nullptr, nullptr)) return true;

    // A full-memory dump fails mostly for lack of disk space, and leaves what it wrote behind: the
    // normal dump starts over in the emptied file.
    LARGE_INTEGER start{};
    SetFilePointerEx(file, start, nullptr, FILE_BEGIN);
    SetEndOfFile(file);
    return write(process, processId, file, MiniDumpNormal, info, nullptr, nullptr) != FALSE;
}

}  // namespace

SeTranslator SetSeTranslator(SeTranslator translator) {
    // One handler for the process, registered on first use and kept: it does nothing for threads
    // without a translator.
    static const PVOID handler = [] {
        g_image = ThisImage();
        return AddVectoredExceptionHandler(1, &RedirectFault);
    }();
    (void)handler;
    return std::exchange(t_fault.translator, translator);
}

void RunGuarded(const std::function<void()>& call) {
    CvBaseSehGuardedCall([](void* context) { (*static_cast<const std::function<void()>*>(context))(); },
                         const_cast<std::function<void()>*>(&call));
}

CSehCatcher::CSehCatcher() : m_previous(SetSeTranslator(&CSehCatcher::Translate)) {}

CSehCatcher::~CSehCatcher() { SetSeTranslator(m_previous); }

void CSehCatcher::Translate(unsigned int, EXCEPTION_POINTERS* pointers) {
    CCvError error = MakeFaultError(*pointers->ExceptionRecord);
    error.SetEntry(L"MiniDumpFile", WriteDumpFile(pointers));
    GetTrace().Trace(4, L"[%s] %s", L"CvBase::CSehCatcher::Translate", error.GetDump());
    throw error;
}

CCvError MakeFaultError(const EXCEPTION_RECORD& record) {
    const std::wstring address = FormatAddress(reinterpret_cast<ULONG_PTR>(record.ExceptionAddress));
    if (record.ExceptionCode == EXCEPTION_ACCESS_VIOLATION) {
        // The first parameter is 0 for a read, 1 for a write, 8 for an execution.
        const std::wstring inserts[] = {address, FormatErrorMessage(Parameter(record, 0) ? 0xE6060003 : 0xE6060004),
                                        FormatAddress(Parameter(record, 1))};
        return CCvError(0xE6060005, nullptr, 0, nullptr, inserts, 3);
    }
    return CCvError(ErrorCodeOf(record.ExceptionCode), nullptr, 0, nullptr, &address, 1);
}

bool WriteMiniDump(HANDLE file, EXCEPTION_POINTERS* pointers) {
    const LibraryOwner dbghelp(LoadBoundLibrary(L"dbghelp.dll"));
    if (!dbghelp) return false;
    const auto write =
        reinterpret_cast<MiniDumpWriter>(reinterpret_cast<void*>(GetProcAddress(dbghelp.get(), "MiniDumpWriteDump")));
    if (!write) return false;
    return WriteMiniDump(file, pointers, write);
}

bool WriteMiniDump(HANDLE file, EXCEPTION_POINTERS* pointers, MiniDumpWriter write) {
    bool written = false;
    const CTranslatorScope faults(&ThrowWriterFault);
    try {
        RunGuarded([&] { written = WriteDump(file, pointers, write); });
    } catch (const WriterFault& fault) {
        SetLastError(fault.code);
        return false;
    }
    return written;
}

std::wstring GetMiniDumpPath() {
    wchar_t module[520] = {};
    if (!GetModuleFileNameW(nullptr, module, 520)) wcscpy(module, L"dmpfile");
    std::wstring name = module;
    const size_t slash = name.rfind(L'\\');
    if (slash != std::wstring::npos) name.erase(0, slash + 1);
    const size_t dot = name.rfind(L'.');
    if (dot != std::wstring::npos) name.erase(dot);

    wchar_t suffix[16] = {};
    _snwprintf(suffix, 15, L"-%08X.dmp", static_cast<unsigned>(GetTickCount()));

    // GetTempPathW fills the buffer only when the folder fits; its path ends with a backslash.
    wchar_t folder[520] = {};
    const DWORD length = GetTempPathW(520, folder);
    if (length == 0 || length >= 520) return {};
    return folder + name + suffix;
}

}  // namespace CvBase

// Called by CvBaseSehFaultStub on the faulting thread, with the thread's fault saved by a handler.
extern "C" void CvBaseSehRaise() {
    using CvBase::t_fault;
    EXCEPTION_RECORD record = t_fault.record;
    CONTEXT context = t_fault.context;
    EXCEPTION_POINTERS pointers{&record, &context};
    t_fault.translator(record.ExceptionCode, &pointers);
    std::terminate();  // a translator throws: there is no place to resume the fault at
}

// The handler of CvBaseSehGuardedCall's frame, called for an exception that no frame below took.
extern "C" EXCEPTION_DISPOSITION CvBaseSehGuard(EXCEPTION_RECORD* record, void*, CONTEXT* context, void*) {
    if (!CvBase::CanResume(*record) || CvBase::IsCxxException(record->ExceptionCode) || !CvBase::t_fault.translator)
        return ExceptionContinueSearch;
    CvBase::RedirectToTranslator(*record, context);
    return ExceptionContinueExecution;
}
