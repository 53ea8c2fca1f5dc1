// The packing progress: the percentage rewritten in place on the step line,
// and the file being packed two rows below it.
#pragma once

#include <windows.h>

#include <string>

#include "Cabinet.h"

// When the progress display redraws. Packing many small files calls it far
// more often than a person can read, and each drawing costs console calls: the
// first call and the end are drawn at once, any other call only when the last
// drawing is Interval old. A call held back is drawn by Poll, during the
// packing of its file, once that much time has passed (a file that takes long).
class ProgressPace {
public:
    static constexpr ULONGLONG Interval = 250;  // milliseconds

    // A call at time now (milliseconds); true when it is to be drawn now,
    // false when it is held back. always: the end, drawn in any case.
    bool Take(ULONGLONG now, bool always);
    // While a file is packed: true when the call held back is to be drawn now.
    bool Poll(ULONGLONG now);

private:
    bool m_started = false;
    bool m_held = false;
    ULONGLONG m_drawn = 0;
};

class CabinetCompressCallback : public Cabinet::Compress::Callback {
public:
    // Remembers the cursor position: the end of the step line.
    explicit CabinetCompressCallback(HANDLE console);
    CabinetCompressCallback(const CabinetCompressCallback&) = delete;
    CabinetCompressCallback& operator=(const CabinetCompressCallback&) = delete;
    // Blanks a file line still shown (packing failed), so that it does not
    // stay below the error's description.
    ~CabinetCompressCallback();

    int OnProgress(const wchar_t* file, double percent) override;
    void OnPacking() override;

private:
    int Draw(const wchar_t* file, double percent);
    // Blanks the file line; false when the display is given up.
    bool Blank();
    // Moves the cursor; on failure the display is given up for the rest of
    // the packing (no console, or no room below the step line).
    bool MoveTo(COORD position);

    HANDLE m_console;
    COORD m_position = {};
    bool m_inPlace;
    bool m_fileShown = false;
    ProgressPace m_pace;
    std::wstring m_heldFile;
    double m_heldPercent = 0;
};

// The file text of the progress line, shortened in the middle of the path so
// that it fits a console line of 511 characters.
std::wstring ProgressFileText(const std::wstring& path, const std::wstring& size);
