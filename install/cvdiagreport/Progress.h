// The packing progress: the percentage rewritten in place on the step line,
// and the file being packed two rows below it.
#pragma once

#include <windows.h>

#include "Cabinet.h"

class CabinetCompressCallback : public Cabinet::Compress::Callback {
public:
    // Remembers the cursor position: the end of the step line.
    explicit CabinetCompressCallback(HANDLE console);

    int OnProgress(const wchar_t* file, double percent) override;

private:
    // Moves the cursor; on failure the display is given up for the rest of
    // the packing (no console, or no room below the step line).
    bool MoveTo(COORD position);

    HANDLE m_console;
    COORD m_position = {};
    bool m_inPlace;
};

// The file text of the progress line, shortened in the middle of the path so
// that it fits a console line of 511 characters.
std::wstring ProgressFileText(const std::wstring& path, const std::wstring& size);
