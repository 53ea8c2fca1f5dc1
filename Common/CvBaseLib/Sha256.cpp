#include "Sha256.h"

#include "CvTrace.h"
#include "cvexception.h"

#include <algorithm>

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

namespace {

// A piece of bytes handed over at once, and how many pieces may be in hand:
// what the queue holds at most.
constexpr size_t kPieceSize = 1 << 20;
constexpr size_t kPieces = 4;

}  // namespace

CSha256Queue::CSha256Queue() { m_thread = std::thread(&CSha256Queue::Work, this); }

CSha256Queue::~CSha256Queue() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_stop = true;
    }
    m_changed.notify_all();
    m_thread.join();
}

CSha256Queue::Piece& CSha256Queue::Filling() {
    if (m_filling) return *m_filling;
    {
        std::unique_lock<std::mutex> lock(m_lock);
        m_changed.wait(lock, [this] { return !m_spare.empty() || m_pieces < kPieces; });
        if (!m_spare.empty()) {
            m_filling = std::move(m_spare.back());
            m_spare.pop_back();
            return *m_filling;
        }
        ++m_pieces;
    }
    try {
        m_filling = std::make_unique<Piece>();
        m_filling->bytes.reserve(kPieceSize);
    } catch (...) {
        m_filling.reset();
        std::lock_guard<std::mutex> lock(m_lock);
        --m_pieces;
        throw;
    }
    return *m_filling;
}

void CSha256Queue::HandOver() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_full.push_back(std::move(m_filling));
    }
    m_changed.notify_all();
}

void CSha256Queue::Update(size_t file, const void* data, size_t size) {
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        Piece& piece = Filling();
        const size_t part = std::min(size, kPieceSize - piece.bytes.size());
        piece.bytes.insert(piece.bytes.end(), bytes, bytes + part);
        if (!piece.marks.empty() && piece.marks.back().file == file && !piece.marks.back().last)
            piece.marks.back().end = piece.bytes.size();
        else
            piece.marks.push_back({file, piece.bytes.size(), false});
        bytes += part;
        size -= part;
        if (piece.bytes.size() == kPieceSize) HandOver();
    }
}

void CSha256Queue::End(size_t file) {
    Piece& piece = Filling();
    piece.marks.push_back({file, piece.bytes.size(), true});
}

std::map<size_t, std::string> CSha256Queue::Digests() {
    if (m_filling && !m_filling->marks.empty()) HandOver();
    std::unique_lock<std::mutex> lock(m_lock);
    m_changed.wait(lock, [this] { return m_full.empty() && !m_hashing; });
    return m_digests;
}

void CSha256Queue::Work() {
    for (;;) {
        std::unique_ptr<Piece> piece;
        {
            std::unique_lock<std::mutex> lock(m_lock);
            m_changed.wait(lock, [this] { return m_stop || !m_full.empty(); });
            if (m_stop) return;
            piece = std::move(m_full.front());
            m_full.pop_front();
            m_hashing = true;
        }
        Hash(*piece);
        piece->bytes.clear();
        piece->marks.clear();
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_spare.push_back(std::move(piece));
            m_hashing = false;
        }
        m_changed.notify_all();
    }
}

void CSha256Queue::Hash(const Piece& piece) {
    static const wchar_t* const function = L"CvBase::CSha256Queue::Hash";
    size_t start = 0;
    for (const Mark& mark : piece.marks) {
        try {
            if (!m_open || m_file != mark.file) {
                // A new file; what came of one that never ended is dropped.
                m_open = true;
                m_file = mark.file;
                m_failed = false;
                m_digest = std::make_unique<CSha256>();
            }
            if (!m_failed) m_digest->Update(piece.bytes.data() + start, mark.end - start);
            if (mark.last && !m_failed) {
                std::string hex = m_digest->FinishHex();
                std::lock_guard<std::mutex> lock(m_lock);
                m_digests[mark.file] = std::move(hex);
            }
        } catch (const CCvError& error) {
            m_failed = true;
            GetTrace().Trace(4, L"[%s] File %zu: %s", function, mark.file, error.GetDump());
        } catch (...) {
            m_failed = true;
            GetTrace().Trace(4, L"[%s] File %zu: unknown exception", function, mark.file);
        }
        if (mark.last) {
            m_open = false;
            m_digest.reset();
        }
        start = mark.end;
    }
}

}  // namespace CvBase
