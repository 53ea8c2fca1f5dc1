#include "TraceFile.h"

#include "TraceText.h"

namespace CvBase {
namespace TraceFile {

namespace {

class FileHandle {
public:
    explicit FileHandle(HANDLE handle) : m_handle(handle) {}
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle() {
        if (IsValid()) CloseHandle(m_handle);
    }
    bool IsValid() const { return m_handle != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return m_handle; }

private:
    HANDLE m_handle;
};

// Appends of this process go one at a time. Each append is one write to a handle opened
// for appending only, which Windows places whole at the end of the file; Wine emulates
// such a write with a size query followed by a positioned write, so that concurrent
// appends there overwrite each other unless they are serialised.
class AppendLock {
public:
    AppendLock() { AcquireSRWLockExclusive(&s_lock); }
    AppendLock(const AppendLock&) = delete;
    AppendLock& operator=(const AppendLock&) = delete;
    ~AppendLock() { ReleaseSRWLockExclusive(&s_lock); }

private:
    static SRWLOCK s_lock;
};
SRWLOCK AppendLock::s_lock = SRWLOCK_INIT;

HANDLE Open(const std::wstring& path, DWORD disposition) {
    return CreateFileW(path.c_str(), FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// A SID of one authority and up to two sub-authorities, in a buffer of its own.
struct Sid {
    Sid(SID_IDENTIFIER_AUTHORITY authority, BYTE count, DWORD first, DWORD second = 0) {
        InitializeSid(Get(), &authority, count);
        *GetSidSubAuthority(Get(), 0) = first;
        if (count > 1) *GetSidSubAuthority(Get(), 1) = second;
    }
    PSID Get() { return buffer; }
    BYTE buffer[SECURITY_MAX_SID_SIZE] = {};
};

}  // namespace

bool Write(const std::wstring& path, DWORD disposition, const std::string& text) {
    if (path.empty()) return false;
    AppendLock lock;
    HANDLE handle = Open(path, disposition);
    if (handle == INVALID_HANDLE_VALUE && CreateFolders(path)) handle = Open(path, disposition);
    FileHandle file(handle);
    if (!file.IsValid()) return false;
    if (text.empty()) return true;
    DWORD written = 0;
    return WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
}

bool CreateFolders(const std::wstring& path) {
    std::vector<std::wstring> folders;
    if (!TraceText::FoldersOfPath(path, folders)) return false;
    std::vector<BYTE> security = FolderSecurity();
    if (security.empty()) return false;
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, security.data(), TRUE};
    for (const std::wstring& folder : folders) {
        if (!CreateDirectoryW(folder.c_str(), &attributes) && GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
    }
    return true;
}

std::vector<BYTE> FolderSecurity() {
    Sid system(SECURITY_NT_AUTHORITY, 1, SECURITY_LOCAL_SYSTEM_RID);
    Sid everyone(SECURITY_WORLD_SID_AUTHORITY, 1, SECURITY_WORLD_RID);
    Sid administrators(SECURITY_NT_AUTHORITY, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS);
    Sid packages(SECURITY_APP_PACKAGE_AUTHORITY, 2, SECURITY_APP_PACKAGE_BASE_RID,
                 SECURITY_BUILTIN_PACKAGE_ANY_PACKAGE);
    Sid* entries[] = {&system, &everyone, &administrators, &packages};

    DWORD aclSize = sizeof(ACL);
    for (Sid* sid : entries) aclSize += sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + GetLengthSid(sid->Get());
    std::vector<BYTE> aclBuffer(aclSize);
    PACL acl = reinterpret_cast<PACL>(aclBuffer.data());
    if (!InitializeAcl(acl, aclSize, ACL_REVISION)) return {};
    for (Sid* sid : entries) {
        if (!AddAccessAllowedAceEx(acl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, GENERIC_ALL,
                                   sid->Get()))
            return {};
    }

    SECURITY_DESCRIPTOR absolute;
    if (!InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorGroup(&absolute, administrators.Get(), FALSE) ||
        !SetSecurityDescriptorDacl(&absolute, TRUE, acl, FALSE))
        return {};
    DWORD size = 0;
    MakeSelfRelativeSD(&absolute, nullptr, &size);
    if (size == 0) return {};
    std::vector<BYTE> relative(size);
    if (!MakeSelfRelativeSD(&absolute, relative.data(), &size)) return {};
    return relative;
}

}  // namespace TraceFile
}  // namespace CvBase
