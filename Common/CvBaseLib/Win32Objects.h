// Owning wrappers of Win32 handles and files, scoped-handle deleters and the
// standard folders.
#pragma once

#include <windows.h>

#include <string>

namespace CvBase {

// Owns one kernel handle (INVALID_HANDLE_VALUE when there is none).
class CWin32Handle {
public:
    explicit CWin32Handle(HANDLE handle) : m_handle(handle) {}
    CWin32Handle(const CWin32Handle&) = delete;
    CWin32Handle& operator=(const CWin32Handle&) = delete;

    virtual ~CWin32Handle();
    // Closes the handle held and takes the new one.
    virtual void Attach(HANDLE handle);
    // Gives the handle up to the caller, who closes it.
    virtual HANDLE Detach();
    virtual HANDLE Get() const { return m_handle; }
    virtual operator HANDLE() const { return Get(); }
    virtual bool IsValid() const { return m_handle != INVALID_HANDLE_VALUE; }
    virtual explicit operator bool() const { return IsValid(); }
    virtual void Close();

    // The name of the object behind the handle (a file's path).
    const std::wstring& GetName() const { return m_name; }

protected:
    HANDLE m_handle;
    std::wstring m_name;
};

class CWin32File : public CWin32Handle {
public:
    CWin32File() : CWin32Handle(INVALID_HANDLE_VALUE) {}
    ~CWin32File() override;

    // Closes the file held and opens path with CreateFileW. Throws CCvError with
    // the Win32 code when the file cannot be opened; returns true otherwise.
    bool Open_Ex(const wchar_t* path, DWORD access, DWORD disposition,
                 DWORD shareMode = FILE_SHARE_READ | FILE_SHARE_WRITE, SECURITY_ATTRIBUTES* security = nullptr,
                 DWORD flags = FILE_ATTRIBUTE_NORMAL, HANDLE templateFile = nullptr);
    // Moves the file pointer to the end. Returns the Win32 code, 0 on success.
    DWORD SeekToEnd();
    // One WriteFile call; throws CCvError with the Win32 code when it fails.
    void Write_Ex(const void* data, DWORD size);
};

// Owns one search of FindFirstFileW (INVALID_HANDLE_VALUE when there is none)
// and ends it with Auto::FindClose.
class CFindHandle {
public:
    explicit CFindHandle(HANDLE handle) : m_handle(handle) {}
    CFindHandle(const CFindHandle&) = delete;
    CFindHandle& operator=(const CFindHandle&) = delete;
    ~CFindHandle();

    HANDLE Get() const { return m_handle; }

private:
    HANDLE m_handle;
};

}  // namespace CvBase

// Deleters for scoped handles: close *handle and set it to 0; a failure to close
// is traced and leaves *handle as it was. A null pointer throws 668.
namespace Auto {
void CloseHandle(HANDLE* phFile);
void FindClose(HANDLE* phFind);
}  // namespace Auto

// Joins two path parts with exactly one separator between them. Either part may
// be null; with an empty first part the second is returned unchanged.
std::wstring JoinPath(const wchar_t* first, const wchar_t* second, wchar_t separator);

// The standard folder of a kind joined with name (or none) by "\": 0 Windows,
// 1 system, 2 programs, 3 temporary folder; any other kind gives "". Each folder
// is looked up once per process; a lookup that fails is tried again next time,
// and meanwhile the result is the name alone.
std::wstring GetSystemFolderPath(int kind, const wchar_t* name);
