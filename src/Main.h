#pragma once
// The start-up sequence: it opens the first windows, so it sits above all of them.

namespace Module1 {

// Runs the start-up sequence; Module1::services must be filled first.
void Main();

} // namespace Module1
