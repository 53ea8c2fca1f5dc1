#include "SecurityLog.h"

namespace SecurityLog {

namespace {

const DWORD HeaderSize = 0x30;
const DWORD EndRecordSize = 0x28;
const DWORD Signature = 0x654C664C;  // "LfLe"
const DWORD MaxSize = 0x80000;

void Put32(std::string& out, DWORD value) {
    for (int shift = 0; shift < 32; shift += 8) out += static_cast<char>((value >> shift) & 0xFF);
}

void Put16(std::string& out, WORD value) {
    out += static_cast<char>(value & 0xFF);
    out += static_cast<char>(value >> 8);
}

// A zero-terminated UTF-16LE text.
void PutText(std::string& out, const std::wstring& text) {
    for (wchar_t c : text) Put16(out, static_cast<WORD>(c));
    Put16(out, 0);
}

std::string Record(const Event& event, DWORD number, const std::wstring& source, const std::wstring& computer) {
    const DWORD fixedSize = 56;
    std::string names;
    PutText(names, source);
    PutText(names, computer);
    std::string strings;
    for (const std::wstring& text : event.Strings) PutText(strings, text);
    // No user SID and no data: their offsets point where they would begin.
    const DWORD sidOffset = fixedSize + static_cast<DWORD>(names.size());
    const DWORD stringOffset = sidOffset;
    const DWORD dataOffset = stringOffset + static_cast<DWORD>(strings.size());
    const DWORD size = (dataOffset + 3) / 4 * 4 + 4;

    std::string out;
    Put32(out, size);
    Put32(out, Signature);
    Put32(out, number);
    Put32(out, event.Time);  // generated
    Put32(out, event.Time);  // written
    Put32(out, event.Id);
    Put16(out, event.Type);
    Put16(out, static_cast<WORD>(event.Strings.size()));
    Put16(out, event.Category);
    Put16(out, 0);  // reserved flags
    Put32(out, 0);  // closing record number
    Put32(out, stringOffset);
    Put32(out, 0);  // user SID length
    Put32(out, sidOffset);
    Put32(out, 0);  // data length
    Put32(out, dataOffset);
    out += names;
    out += strings;
    out.append(size - 4 - out.size(), '\0');
    Put32(out, size);
    return out;
}

}  // namespace

std::string Format(const std::vector<Event>& events, const std::wstring& source, const std::wstring& computer) {
    std::string records;
    DWORD number = 1;
    for (const Event& event : events) records += Record(event, number++, source, computer);
    const DWORD endOffset = HeaderSize + static_cast<DWORD>(records.size());

    std::string out;
    Put32(out, HeaderSize);
    Put32(out, Signature);
    Put32(out, 1);  // major version
    Put32(out, 1);  // minor version
    Put32(out, HeaderSize);  // oldest record
    Put32(out, endOffset);   // end-of-file record
    Put32(out, number);      // the next record's number
    Put32(out, 1);           // the oldest record's number
    Put32(out, MaxSize);
    Put32(out, 0);  // flags: clean, not wrapped
    Put32(out, 0);  // retention
    Put32(out, HeaderSize);
    out += records;
    Put32(out, EndRecordSize);
    Put32(out, 0x11111111);
    Put32(out, 0x22222222);
    Put32(out, 0x33333333);
    Put32(out, 0x44444444);
    Put32(out, HeaderSize);
    Put32(out, endOffset);
    Put32(out, number);
    Put32(out, 1);
    Put32(out, EndRecordSize);
    return out;
}

}  // namespace SecurityLog
