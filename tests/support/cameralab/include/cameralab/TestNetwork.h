#pragma once

// Keeps a test process's discovery broadcasts off the machine's own network.

namespace quelnor::test {

// On the first call (make it on the main thread before any other thread starts) the process moves
// into a private network namespace with only loopback, as root; otherwise it stays where it is and a
// note says so. Returns whether the process is isolated.
bool isolateTestProcessNetwork();

} // namespace quelnor::test
