// A zero-filled array of elements that frees itself.
#pragma once

#include <cstddef>
#include <cstdlib>

#include "cvexception.h"

namespace CvBase {

// The qualified name of Resize for each element type, as errors carry it.
template <typename T>
struct BufferNames;
template <>
struct BufferNames<wchar_t> {
    static constexpr const wchar_t* Resize = L"CvBase::CBuffer<wchar_t>::Resize";
};
template <>
struct BufferNames<unsigned char> {
    static constexpr const wchar_t* Resize = L"CvBase::CBuffer<unsigned char>::Resize";
};

template <typename T>
class CBuffer {
public:
    explicit CBuffer(size_t count) { Resize(count); }
    CBuffer(const CBuffer&) = delete;
    CBuffer& operator=(const CBuffer&) = delete;
    virtual ~CBuffer() { std::free(m_data); }

    // Drops the old elements and makes count new ones, all zero. When memory
    // runs out the buffer stays empty and error 14 (ERROR_OUTOFMEMORY) is thrown.
    void Resize(size_t count) {
        std::free(m_data);
        m_data = nullptr;
        m_count = 0;
        if (count == 0) return;
        m_data = static_cast<T*>(std::calloc(count, sizeof(T)));
        if (!m_data) ThrowError(ERROR_OUTOFMEMORY, L"Common\\CvBaseLib\\buffer", 83, BufferNames<T>::Resize);
        m_count = count;
    }

    size_t GetCount() const { return m_count; }
    T* Get() const { return m_data; }

private:
    size_t m_count = 0;
    T* m_data = nullptr;
};

}  // namespace CvBase
