#include "ComputerRole.h"

#include <memory>

#include "TimedWork.h"

#include "DiagReport.h"

namespace {

struct ServerRole {
    DWORD Mask;
    const wchar_t* Text;
};

const ServerRole Roles[] = {
    {0x00000001, L"A LAN Manager workstation"},
    {0x00000002, L"A LAN Manager server"},
    {0x00000004, L"Any server running with Microsoft SQL Server"},
    {0x00000008, L"Primary domain controller"},
    {0x00000010, L"Backup domain controller"},
    {0x00000020, L"Server running the Timesource service"},
    {0x00000040, L"Apple File Protocol server"},
    {0x00000080, L"Novell server"},
    {0x00000100, L"LAN Manager 2.x domain member"},
    {0x40000000, L"Servers maintained by the browser"},
    {0x00000200, L"Server sharing print queue"},
    {0x00000400, L"Server running dial-in service"},
    {0x00000800, L"Xenix server"},
    {0x00004000, L"Microsoft File and Print for NetWare"},
    {0x00001000, L"Windows NT/Windows 2000/Windows XP workstation or server"},
    {0x00002000, L"Server running Windows for Workgroups"},
    {0x00008000, L"Windows NT/Windows 2000 server that is not a domain controller"},
    {0x00010000, L"Server that can run the browser service"},
    {0x00020000, L"Server running a browser service as backup"},
    {0x00040000, L"Server running the master browser service"},
    {0x00080000, L"Server running the domain master browser"},
    {0x80000000, L"Primary domain"},
    {0x00400000, L"Windows 95 or later"},
    {0xFFFFFFFF, L"All servers"},
    {0x02000000, L"Terminal Server"},
    {0x01000000, L"Server clusters available in the domain"},
};

}  // namespace

DWORD ReadServerType(const ServerInfoCalls& calls) {
    LPBYTE buffer = nullptr;
    if (calls.GetInfo(nullptr, 101, &buffer) != NERR_Success || !buffer) return 0;
    const DWORD type = reinterpret_cast<const SERVER_INFO_101*>(buffer)->sv101_type;
    calls.Free(buffer);
    return type;
}

std::wstring ComputerRoleText(DWORD type) {
    std::wstring text;
    for (const ServerRole& role : Roles)
        if (type & role.Mask) text += std::wstring(role.Text) + L"\r\n";
    return text;
}

void DiagReport::LogInfo_ComputerRole(std::wostream& out) {
    out << L"\nComputer role:\n";
    auto type = std::make_shared<DWORD>(0);
    const ServerInfoCalls calls = *ServerInfo;
    if (CvBase::RunTimed(Limits.Call, L"DiagReport::LogInfo_ComputerRole", L"NetServerGetInfo",
                         [type, calls] { *type = ReadServerType(calls); }))
        out << ComputerRoleText(*type);
}
