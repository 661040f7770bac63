// The socket server's "[ReadFunc]"-style lines on standard output.
#pragma once

namespace vantrel::agent {

// Under a service manager standard output is the journal, where one UI
// polling every second would leave some 345,000 of these lines a day; they go
// out only when the diagnostic log is switched on or a terminal watches.
// Windows: always (a GUI program's standard output leads nowhere anyway).
// Decided once, after the log has been opened.
bool DebugLinesWanted();

}  // namespace vantrel::agent
