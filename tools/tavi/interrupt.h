#pragma once
// Ctrl-C and SIGTERM while a command streams: the command notices, stops, and gives the camera's
// control back before it ends, instead of leaving the camera held until its heartbeat lapses.

namespace tavi::cli {

// From now on SIGINT and SIGTERM only set the flag below.
void StopOnInterrupt();
bool StopRequested();

}  // namespace tavi::cli
