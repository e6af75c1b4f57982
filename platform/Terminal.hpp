#pragma once

namespace norvid::platform {

// True when both standard output and standard error are a terminal.
bool outputIsTerminal();

// The width of the terminal on standard error in columns; 80 when it cannot be told.
int terminalColumns();

}  // namespace norvid::platform
