#pragma once

namespace snagreel::testing {

// Listens on the abstract socket of X display `number` (":number") and answers
// nothing: what a hung server, or a stand-in the test drives itself, looks like to a
// client. The listening descriptor, or -1; `inUse` says the display was taken.
int listenOnDisplaySocket(int number, bool* inUse);

} // namespace snagreel::testing
