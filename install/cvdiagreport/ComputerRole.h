// The network role of the computer: its server type bits spelled out.
#pragma once

#include <windows.h>
#include <lm.h>

#include <string>

// Where the server type comes from: NetServerGetInfo and NetApiBufferFree
// (tests pass answers of their own).
struct ServerInfoCalls {
    NET_API_STATUS(NET_API_FUNCTION* GetInfo)(LMSTR server, DWORD level, LPBYTE* buffer);
    NET_API_STATUS(NET_API_FUNCTION* Free)(LPVOID buffer);
};
extern const ServerInfoCalls NetServerInfoCalls;

// The server type of the local computer (level 101), or 0 when it cannot be read.
DWORD ReadServerType(const ServerInfoCalls& calls);

// One line, ended by CR LF, per role that the type has.
std::wstring ComputerRoleText(DWORD type);
