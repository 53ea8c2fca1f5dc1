// The trace file: every line is one append through a handle of its own, so that threads
// and processes can share the file; missing folders are created with the trace's DACL.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace CvBase {
namespace TraceFile {

// Opens the file for appending, creating its missing folders when the first open fails.
// disposition: OPEN_ALWAYS to append, CREATE_ALWAYS to start the file empty.
// Returns false when the file cannot be had; a non-empty text is written in one call.
bool Write(const std::wstring& path, DWORD disposition, const std::string& text);

// Creates the missing folders of a file path (not the file), each with FolderSecurity().
bool CreateFolders(const std::wstring& path);

// Self-relative descriptor: no owner, group BUILTIN\Administrators, a DACL granting
// GENERIC_ALL, inherited by files and subfolders, to LocalSystem, Everyone,
// BUILTIN\Administrators and ALL APPLICATION PACKAGES, in this order. Empty on failure.
std::vector<BYTE> FolderSecurity();

}  // namespace TraceFile
}  // namespace CvBase
