#pragma once
// What every stand-in process needs: a stop on SIGTERM, SIGINT or SIGHUP, and a clock.

namespace testbed {

// From now on SIGTERM, SIGINT and SIGHUP only ask the process to stop.
void catchStopSignals();
bool stopRequested();

// Milliseconds of the monotonic clock.
long long nowMs();
// Sleeps ms milliseconds, or less when a stop is requested meanwhile.
void sleepMs(long ms);

}  // namespace testbed
