// Processor faults (structured exceptions) turned into CCvError, with a crash dump of the process.
#pragma once

#include <windows.h>
#include <dbghelp.h>

#include <functional>
#include <string>

#include "cvexception.h"

namespace CvBase {

// A thread's translator of processor faults. It is called on the faulting thread, in place of the
// faulting instruction, with the exception's code and a copy of its record and context, and must
// throw: the C++ exception then travels from the faulting frame up the thread's stack.
using SeTranslator = void (*)(unsigned int code, EXCEPTION_POINTERS* pointers);

// Installs the calling thread's translator and returns the one it replaces (null for none). Faults
// of this module's own code are translated wherever they happen; faults of other code (a product
// library, the system's) only inside RunGuarded. Every fault of a thread without a translator
// takes the system's usual course.
SeTranslator SetSeTranslator(SeTranslator translator);

// Installs a translator for the calling thread while it lives, then puts the previous one back.
class CTranslatorScope {
public:
    explicit CTranslatorScope(SeTranslator translator) : m_previous(SetSeTranslator(translator)) {}
    ~CTranslatorScope() { SetSeTranslator(m_previous); }
    CTranslatorScope(const CTranslatorScope&) = delete;
    CTranslatorScope& operator=(const CTranslatorScope&) = delete;

private:
    SeTranslator m_previous;
};

// Runs the call under a guard: a structured exception raised anywhere below it, in whatever module,
// that no handler below takes (C++ exceptions aside) reaches the thread's translator, which throws
// from the faulting place; that exception leaves RunGuarded like any other the call lets out.
// Exceptions that a library catches itself, such as its own probes of memory, stay its own.
void RunGuarded(const std::function<void()>& call);

// While it lives, turns the processor faults of the thread that made it (those that
// SetSeTranslator names) into a CCvError thrown from the faulting place, after writing a crash
// dump into the temporary folder.
class CSehCatcher {
public:
    CSehCatcher();
    virtual ~CSehCatcher();
    CSehCatcher(const CSehCatcher&) = delete;
    CSehCatcher& operator=(const CSehCatcher&) = delete;

    // Writes the dump and throws the fault's error with the entry "MiniDumpFile".
    [[noreturn]] static void Translate(unsigned int code, EXCEPTION_POINTERS* pointers);

private:
    SeTranslator m_previous;
};

// The error of a fault, without source place: its code by the exception's code, with the faulting
// instruction's address, and for an access violation also the kind of access and the data address.
CCvError MakeFaultError(const EXCEPTION_RECORD& record);

// MiniDumpWriteDump or a function of its kind.
using MiniDumpWriter = BOOL(WINAPI*)(HANDLE process, DWORD processId, HANDLE file, MINIDUMP_TYPE type,
                                     PMINIDUMP_EXCEPTION_INFORMATION exception,
                                     PMINIDUMP_USER_STREAM_INFORMATION userStreams,
                                     PMINIDUMP_CALLBACK_INFORMATION callback);

// Writes a dump of this process into the open file, with the exception when pointers are given;
// false with the thread's last error set when no dump could be written.
bool WriteMiniDump(HANDLE file, EXCEPTION_POINTERS* pointers);
// The same through the given writer: a full-memory dump, or else a normal one in the emptied file.
// A fault inside the writer ends the writing: false, with the fault's code as the last error.
bool WriteMiniDump(HANDLE file, EXCEPTION_POINTERS* pointers, MiniDumpWriter write);

// Full path of a new dump file: the temporary folder, the program's name without extension, "-",
// the tick count as eight hexadecimal digits and ".dmp". Empty when the temporary folder is unknown.
std::wstring GetMiniDumpPath();

}  // namespace CvBase
