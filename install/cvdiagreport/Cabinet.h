// The cabinet writer: packs the packing list into one MSZIP cabinet through the
// File Compression Interface of cabinet.dll, bound at run time.
#pragma once

#include "DiagReport.h"
#include "Sha256.h"
#include "Win32Objects.h"
#include "dlls.h"

#include <windows.h>
#include <fci.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

// What became of one file of a packing list.
struct PackResult {
    std::wstring Name;  // inside the archive
    bool Packed = false;
    unsigned long long Size = 0;  // bytes packed
    std::string Sha256;           // of exactly the bytes packed, lower-case hexadecimal
    DWORD Error = 0;              // the Windows code of a file left out
};

namespace Cabinet {
namespace Compress {

// Progress of Cabinet_CompressFiles: called once before the first file with
// that file and 0, then after every file handled (packed or not) with the next
// file, or null after the last one, and the share of files handled in percent.
class Callback {
public:
    virtual int OnProgress(const wchar_t* nextFileOrNull, double percent) = 0;
    // Called while a file is being packed, after each block of its data, so
    // that a display can show progress it held back during a file that takes long.
    virtual void OnPacking() {}

protected:
    ~Callback() = default;
};

// What the writer's FCI callbacks learn of the file being added (FCI hands it
// to them as its context).
struct Adding {
    CvBase::CWin32Handle source{INVALID_HANDLE_VALUE};  // until the open-info callback hands it to FCI
    int sourceFile = -1;                              // its descriptor while FCI reads it
    size_t number = 0;                                // of the file in the writer's results
    CvBase::CSha256Queue digests;                     // of every byte FCI reads of each source
    unsigned long long read = 0;
    USHORT date = 0;
    USHORT time = 0;
    USHORT attributes = 0;
    Callback* progress = nullptr;
};

// A name stored inside the cabinet: in the ANSI code page when the name
// survives the round trip through it, otherwise in UTF-8 (isUtf). A name whose
// bytes do not fit the cabinet format's 255 loses characters from the middle
// of its file name, marked by "~", and keeps its folder and extension (name).
struct StoredName {
    std::wstring name;
    std::string bytes;
    bool isUtf;
};
StoredName MakeStoredName(const std::wstring& name);

// The attributes stored for a file: its own (low 16 bits), never the bits that
// the cabinet format gives other meanings (_A_EXEC; _A_NAME_IS_UTF, which is
// FILE_ATTRIBUTE_NORMAL on disk), and _A_NAME_IS_UTF when the name is UTF-8.
USHORT StoredAttributes(DWORD fileAttributes, bool nameIsUtf);

}  // namespace Compress
}  // namespace Cabinet

// cabinet.dll and the four FCI functions the writer calls.
class CCompressLib {
public:
    struct CLibName {
        static constexpr const wchar_t* FileName = L"cabinet.dll";
        static constexpr const wchar_t* TypeName = L"class CCompressLib::CLibName";
    };
    struct CFCICreate {
        static constexpr const char* ExportName = "FCICreate";
        static constexpr const wchar_t* TypeName = L"class CCompressLib::CFCICreate";
        static constexpr const wchar_t* FnTypeName =
            L"void *(__cdecl*)(struct ERF *,int (__cdecl*)(struct CCAB *,char *,long,int,void *),"
            L"void *(__cdecl*)(unsigned long),void (__cdecl*)(void *),"
            L"__int64 (__cdecl*)(char *,int,int,int *,void *),"
            L"unsigned int (__cdecl*)(__int64,void *,unsigned int,int *,void *),"
            L"unsigned int (__cdecl*)(__int64,void *,unsigned int,int *,void *),"
            L"int (__cdecl*)(__int64,int *,void *),long (__cdecl*)(__int64,long,int,int *,void *),"
            L"int (__cdecl*)(char *,int *,void *),int (__cdecl*)(char *,int,void *),struct CCAB *,void *)";
        static constexpr const wchar_t* FnOperatorTypeName =
            L"void *(__cdecl *)(struct ERF *,int (__cdecl *)(struct CCAB *,char *,long,int,void *),"
            L"void *(__cdecl *)(unsigned long),void (__cdecl *)(void *),"
            L"__int64 (__cdecl *)(char *,int,int,int *,void *),"
            L"unsigned int (__cdecl *)(__int64,void *,unsigned int,int *,void *),"
            L"unsigned int (__cdecl *)(__int64,void *,unsigned int,int *,void *),"
            L"int (__cdecl *)(__int64,int *,void *),long (__cdecl *)(__int64,long,int,int *,void *),"
            L"int (__cdecl *)(char *,int *,void *),int (__cdecl *)(char *,int,void *),struct CCAB *,void *)";
    };
    struct CFCIAddFile {
        static constexpr const char* ExportName = "FCIAddFile";
        static constexpr const wchar_t* TypeName = L"class CCompressLib::CFCIAddFile";
        static constexpr const wchar_t* FnTypeName =
            L"int (__cdecl*)(void *,char *,char *,int,int (__cdecl*)(struct CCAB *,unsigned long,void *),"
            L"long (__cdecl*)(unsigned int,unsigned long,unsigned long,void *),"
            L"__int64 (__cdecl*)(char *,unsigned short *,unsigned short *,unsigned short *,int *,void *),"
            L"unsigned short)";
        static constexpr const wchar_t* FnOperatorTypeName =
            L"int (__cdecl *)(void *,char *,char *,int,int (__cdecl *)(struct CCAB *,unsigned long,void *),"
            L"long (__cdecl *)(unsigned int,unsigned long,unsigned long,void *),"
            L"__int64 (__cdecl *)(char *,unsigned short *,unsigned short *,unsigned short *,int *,void *),"
            L"unsigned short)";
    };
    struct CFCIFlushCabinet {
        static constexpr const char* ExportName = "FCIFlushCabinet";
        static constexpr const wchar_t* TypeName = L"class CCompressLib::CFCIFlushCabinet";
        static constexpr const wchar_t* FnTypeName =
            L"int (__cdecl*)(void *,int,int (__cdecl*)(struct CCAB *,unsigned long,void *),"
            L"long (__cdecl*)(unsigned int,unsigned long,unsigned long,void *))";
        static constexpr const wchar_t* FnOperatorTypeName =
            L"int (__cdecl *)(void *,int,int (__cdecl *)(struct CCAB *,unsigned long,void *),"
            L"long (__cdecl *)(unsigned int,unsigned long,unsigned long,void *))";
    };
    struct CFCIDestroy {
        static constexpr const char* ExportName = "FCIDestroy";
        static constexpr const wchar_t* TypeName = L"class CCompressLib::CFCIDestroy";
        static constexpr const wchar_t* FnTypeName = L"int (__cdecl*)(void *)";
        static constexpr const wchar_t* FnOperatorTypeName = L"int (__cdecl *)(void *)";
    };

    CvBase::CDynamicLibrary2 Library{CLibName::FileName};
    CvBase::TFunctionCall2<CLibName, decltype(&::FCICreate), CFCICreate> FCICreate;
    CvBase::TFunctionCall2<CLibName, decltype(&::FCIAddFile), CFCIAddFile> FCIAddFile;
    CvBase::TFunctionCall2<CLibName, decltype(&::FCIFlushCabinet), CFCIFlushCabinet> FCIFlushCabinet;
    CvBase::TFunctionCall2<CLibName, decltype(&::FCIDestroy), CFCIDestroy> FCIDestroy;
};

// One cabinet being written. Construction creates the FCI context; Close (or,
// failing that, destruction) writes the cabinet out.
//
// The paths handed to FCI (the cabinet's, the temporary files') are UTF-8 and
// come back only to this writer's own callbacks, which open the files with the
// wide C run-time functions: no path is limited to a code page. Each source is
// opened once, before FCI is asked to add it, and handed to FCI open.
// The names stored inside the cabinet are those of MakeStoredName.
class CCompressedFile {
public:
    // Throws CCvError 0xE600001B when FCI cannot be set up, and 206
    // (ERROR_FILENAME_EXCED_RANGE) when the path does not fit FCI's 255 bytes.
    // progress, when given, is told of the work on each file (OnPacking).
    CCompressedFile(const std::wstring& cabPath, TCOMP compression,
                    Cabinet::Compress::Callback* progress = nullptr);
    CCompressedFile(const CCompressedFile&) = delete;
    CCompressedFile& operator=(const CCompressedFile&) = delete;
    // Flushes the cabinet unless Close did, ignoring failures, and frees the context.
    ~CCompressedFile();

    // Adds one file; throws CCvError 0xE600001B when FCI cannot add it.
    CCompressedFile& operator<<(const PackItem& item);
    // What became of each file added, in order; waits for the digests of the packed ones.
    std::vector<PackResult> Results();
    // An add failed on the cabinet's own files (its temporary files, memory), not on its source:
    // nothing more can be added.
    bool IsBroken() const { return m_broken; }

    // Writes the cabinet out and frees the context; throws CCvError 0xE600001B
    // when the cabinet could not be written.
    void Close();

private:
    CCompressLib m_lib;
    HFCI m_context = nullptr;
    CCAB m_ccab;
    ERF m_erf;
    TCOMP m_compression;
    std::wstring m_path;
    Cabinet::Compress::Adding m_adding;
    bool m_broken = false;
    std::vector<PackResult> m_results;
};

// Packs list, in order, into the cabinet cabPath (MSZIP). A file that cannot
// be packed is traced and left out. An empty list makes no cabinet. A cabinet
// that cannot be finished (its own files cannot be written) is deleted and the
// error raised.
// A file packed after the list (the progress counts it), written from what
// became of the list's files just before it is packed.
struct ClosingFile {
    PackItem Item;
    std::function<void(const std::vector<PackResult>&)> Write;
};

// Returns what became of each file of the list, in order.
std::vector<PackResult> Cabinet_CompressFiles(const std::wstring& cabPath, const std::vector<PackItem>& list,
                                              Cabinet::Compress::Callback* callback,
                                              const ClosingFile* closing = nullptr);
