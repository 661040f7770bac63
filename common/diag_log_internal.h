// Platform halves of the diagnostic log.
#pragma once
#include <string>

namespace vantrel::diag_detail {

// Separator of the log path: '\' on Windows, '/' on Linux.
wchar_t PathSeparator();
// Creates every missing folder up to the last separator of `file_path`.
void MakeFolderFor(const std::wstring& file_path);
// Opens `path` for appending (created when missing, shared with other
// writers), writes `bytes` and closes it. False when it could not be opened.
bool AppendToFile(const std::wstring& path, const std::string& bytes);
// The local time as "%Y%m%d_%H:%M:%S" followed by ".%03d" milliseconds.
std::string LocalTimeStamp();
// One record in the system journal (Linux); nothing on Windows, where the
// event log is the supervisor's alone.
void ToJournal(int priority, const std::wstring& function, const std::wstring& message);

}  // namespace vantrel::diag_detail
