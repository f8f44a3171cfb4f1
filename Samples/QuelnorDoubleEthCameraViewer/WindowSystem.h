#pragma once

#include <string>

namespace quelnor::viewer {

// Why the viewer's windows cannot be opened here, in one sentence; empty when they can. Checked
// before the window toolkit starts, which on its own aborts the program when it finds no display.
// Looks at the environment and, for an X display, connects to it once (and closes the connection).
std::string windowUnavailableReason();

} // namespace quelnor::viewer
