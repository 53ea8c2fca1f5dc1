// CvGpe.dll: the product's policy library. It loads the product's effective
// security policy and exports it into a security template (".inf") file.
// Every call returns a Windows status code, 0 on success.
#pragma once

#include <windows.h>

#ifdef CVGPE_BUILDING
#define CVGPE_API extern "C" __declspec(dllexport)
#else
#define CVGPE_API extern "C" __declspec(dllimport)
#endif

// Loads the policy. reserved must be 0; on success *policyHandle receives the
// handle of the loaded policy, which CvFreePolicy releases.
CVGPE_API DWORD CvLoadPolicy(DWORD reserved, unsigned long long* policyHandle);

// Writes the loaded policy into the file targetPath (full path), replacing
// the file if it exists. On failure the last error holds the status as well.
CVGPE_API DWORD CvExportPolicy(unsigned long long policyHandle, const wchar_t* targetPath);

// Releases a policy that CvLoadPolicy loaded.
CVGPE_API DWORD CvFreePolicy(unsigned long long policyHandle);
