#include "Sha256.h"

#include "cvexception.h"

namespace CvBase {

namespace {

void Check(NTSTATUS status, unsigned line, const wchar_t* function) {
    if (!BCRYPT_SUCCESS(status)) ThrowError(static_cast<DWORD>(status), L"Win32Objects", line, function);
}

// The algorithm provider, opened once for the process and kept.
struct Sha256Provider {
    BCRYPT_ALG_HANDLE handle = nullptr;
    DWORD objectSize = 0;
    NTSTATUS status;
    Sha256Provider() {
        status = BCryptOpenAlgorithmProvider(&handle, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
        ULONG written = 0;
        if (BCRYPT_SUCCESS(status))
            status = BCryptGetProperty(handle, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&objectSize),
                                       sizeof(objectSize), &written, 0);
    }
};

const Sha256Provider& Provider() {
    static const Sha256Provider provider;
    return provider;
}

}  // namespace

CSha256::CSha256() {
    const Sha256Provider& provider = Provider();
    Check(provider.status, __LINE__, L"CvBase::CSha256::CSha256");
    m_object.reset(new UCHAR[provider.objectSize]);
    Check(BCryptCreateHash(provider.handle, &m_hash, m_object.get(), provider.objectSize, nullptr, 0, 0), __LINE__,
          L"CvBase::CSha256::CSha256");
}

CSha256::~CSha256() {
    if (m_hash) BCryptDestroyHash(m_hash);
}

void CSha256::Update(const void* data, size_t size) {
    const UCHAR* bytes = static_cast<const UCHAR*>(data);
    while (size > 0) {
        const ULONG piece = size > 0x40000000 ? 0x40000000 : static_cast<ULONG>(size);
        Check(BCryptHashData(m_hash, const_cast<PUCHAR>(bytes), piece, 0), __LINE__, L"CvBase::CSha256::Update");
        bytes += piece;
        size -= piece;
    }
}

std::string CSha256::FinishHex() {
    UCHAR digest[32];
    Check(BCryptFinishHash(m_hash, digest, sizeof(digest), 0), __LINE__, L"CvBase::CSha256::FinishHex");
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (const UCHAR byte : digest) {
        hex += digits[byte >> 4];
        hex += digits[byte & 15];
    }
    return hex;
}

}  // namespace CvBase
