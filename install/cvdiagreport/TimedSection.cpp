#include "TimedSection.h"

#include <memory>
#include <mutex>
#include <streambuf>
#include <string>

#include "TimedWork.h"

namespace {

// A text that one thread writes and another takes, at any time: once taken, further writing is
// dropped.
class SharedText : public std::wstreambuf {
public:
    std::wstring Take(bool completeLinesOnly) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_taken = true;
        if (completeLinesOnly) m_text.resize(m_text.rfind(L'\n') + 1);  // npos + 1 is 0
        return std::move(m_text);
    }

protected:
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
        const wchar_t character = traits_type::to_char_type(c);
        xsputn(&character, 1);
        return c;
    }
    std::streamsize xsputn(const wchar_t* text, std::streamsize count) override {
        std::lock_guard<std::mutex> lock(m_lock);
        if (!m_taken) m_text.append(text, static_cast<size_t>(count));
        return count;
    }

private:
    std::mutex m_lock;
    std::wstring m_text;
    bool m_taken = false;
};

// The work's text and the stream it writes through, owned by the work and its starter together.
struct SectionText {
    SharedText text;
    std::wostream stream{&text};
};

}  // namespace

bool WriteTimed(std::wostream& out, DWORD limit, const wchar_t* function, const wchar_t* what,
                std::function<void(std::wostream&)> write) {
    auto section = std::make_shared<SectionText>();
    CvBase::CTimedWork work([section, write] { write(section->stream); });
    bool ended = false;
    try {
        ended = work.Wait(limit, function, what);
    } catch (...) {
        out << section->text.Take(false);
        throw;
    }
    out << section->text.Take(!ended);
    return ended;
}
