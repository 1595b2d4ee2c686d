#pragma once
// How long a worker may run before the station takes it for hung: above the longest update the
// tool itself can make, worked out from the tool's own limits.

#include <cstdint>

namespace station {

// The tool's limits that make its longest run: a camera that answers every request but whose
// flash never leaves its busy state, so that every wait runs to its bound, three times.
namespace worst {
inline constexpr std::int64_t startWaitMs = 3000;  // before the first attempt
inline constexpr std::int64_t openWaitMs = 2000;   // after opening, each attempt
inline constexpr std::int64_t resetWaitMs = 5000;  // after the reset, each attempt
inline constexpr int attempts = 3;
inline constexpr int busyReadsPerWait = 10000;  // status reads of one flash wait, 1 ms apart
// Flash waits on the longest path of one attempt: release, erase, the write's first page and
// restore, each made of status writes and busy waits (counted on the simulated camera that
// stays busy: 15 full waits per attempt).
inline constexpr int busyWaitsPerAttempt = 15;
// Requests of one status read: select, command byte, byte read back, done flags.
inline constexpr int requestsPerBusyRead = 4;
// One extension-unit request on the bus: a USB frame.
inline constexpr std::int64_t requestMs = 1;
}  // namespace worst

// The longest update: 2,274,000 ms (37 min 54 s).
inline constexpr std::int64_t WorstUpdateMs =
    worst::startWaitMs +
    worst::attempts * (worst::openWaitMs + worst::resetWaitMs +
                       std::int64_t{worst::busyWaitsPerAttempt} * worst::busyReadsPerWait *
                           (1 + worst::requestsPerBusyRead * worst::requestMs));

// The watchdog's bound: the longest update and two minutes more for a slow machine.
inline constexpr std::int64_t WorkerWatchdogMs = WorstUpdateMs + 120000;

}  // namespace station
