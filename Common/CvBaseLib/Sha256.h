// SHA-256 digests through Windows' own cryptography (CNG).
#pragma once

#include <windows.h>
#include <bcrypt.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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

// The digests of files whose bytes come one file after another, computed on a
// thread of its own so that hashing runs beside the work that reads the bytes.
// Each file has a number of the caller's choosing; the bytes of one file come
// in order and end with End. The bytes of a file that never ends are dropped
// when the next file's come. Bytes are handed over in large pieces, several
// small files to a piece, so that the thread is woken seldom.
class CSha256Queue {
public:
    CSha256Queue();
    // Stops the thread; digests not yet computed are lost.
    ~CSha256Queue();
    CSha256Queue(const CSha256Queue&) = delete;
    CSha256Queue& operator=(const CSha256Queue&) = delete;

    // Waits while the pieces in hand are all full. Throws only when memory is short.
    void Update(size_t file, const void* data, size_t size);
    void End(size_t file);
    // Waits until every ended file is hashed; the digests by file number, in
    // lower-case hexadecimal. A file that Windows could not hash has none.
    std::map<size_t, std::string> Digests();

private:
    // Where a file's bytes in a piece end.
    struct Mark {
        size_t file;
        size_t end;
        bool last;
    };
    struct Piece {
        std::vector<unsigned char> bytes;
        std::vector<Mark> marks;
    };

    Piece& Filling();
    void HandOver();
    void Work();
    void Hash(const Piece& piece);

    std::mutex m_lock;
    std::condition_variable m_changed;
    std::deque<std::unique_ptr<Piece>> m_full;  // handed over, in order
    std::vector<std::unique_ptr<Piece>> m_spare;
    std::unique_ptr<Piece> m_filling;           // the caller's
    size_t m_pieces = 0;                        // made so far
    bool m_hashing = false;                     // the thread holds a piece
    bool m_stop = false;
    std::map<size_t, std::string> m_digests;
    // The thread's: the file being hashed, if any, and whether Windows failed to hash it.
    bool m_open = false;
    size_t m_file = 0;
    std::unique_ptr<CSha256> m_digest;
    bool m_failed = false;
    std::thread m_thread;
};

}  // namespace CvBase
