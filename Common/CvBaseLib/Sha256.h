// SHA-256 digests through Windows' own cryptography (CNG).
#pragma once

#include <windows.h>
#include <bcrypt.h>

#include <memory>
#include <string>

namespace CvBase {

// One digest, fed piece by piece. Raises the CNG status when Windows cannot hash.
class CSha256 {
public:
    CSha256();
    ~CSha256();
    CSha256(const CSha256&) = delete;
    CSha256& operator=(const CSha256&) = delete;

    void Update(const void* data, size_t size);
    // The digest of everything fed, in lower-case hexadecimal; the object is used up.
    std::string FinishHex();

private:
    // The hash object's memory: Windows 7 wants it from the caller.
    std::unique_ptr<UCHAR[]> m_object;
    BCRYPT_HASH_HANDLE m_hash = nullptr;
};

}  // namespace CvBase
