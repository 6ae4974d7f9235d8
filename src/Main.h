#pragma once
// The start-up sequence: it opens the first windows, so it sits above all of them.

namespace Module1 {

// Runs the start-up sequence; Module1::services must be filled first.
void Main();

// What the system's request to end (SIGTERM, SIGINT, SIGHUP) does: what Exit does.
void EndRequested();

// Deletes every window, then empties Module1::services. Call after the event loop has ended and
// before the services' objects go: a window's destructor stops the worker threads that use them.
void End();

} // namespace Module1
