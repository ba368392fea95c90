/*
 * maintenance_state.h - the module-wide state of the long maintenance
 * operations: partitioning, formatting and the firmware upload (which shares
 * the busy flag; its own state is in transfer/). Zero when the module is
 * loaded; server start and stop never reset it: its values (the last
 * partitioning's outcome) stay readable across a restart.
 *
 * maintenanceBusy makes the three operations exclusive across all sessions.
 * Whoever wants to begin one takes it with maintenance_try_acquire() (test and
 * set in one atomic step, so two sessions can never both pass) and gives it
 * back with maintenance_release() once nothing it began is left running on
 * the host.
 */
#ifndef NETSERVER_HANDLERS_MAINTENANCE_STATE_H
#define NETSERVER_HANDLERS_MAINTENANCE_STATE_H

#include <atomic>
#include <cstdint>

/* 1 from the acceptance of a partitioning, format or upload until its end. */
extern std::atomic<int32_t> maintenanceBusy;
/* Outcome of the last partitioning: 0 running (also before any), 1 finished,
 * -1 failed. */
extern std::atomic<int32_t> fdiskStatus;
/* The three payload words of the last format request that was accepted; the
 * progress watcher reads the first two. */
extern std::atomic<uint32_t> formatArgs[3];

/* Takes the busy flag: one compare-exchange 0 -> 1. Returns true when the
 * caller now holds it, false when an operation already runs. */
inline bool maintenance_try_acquire() {
    int32_t expected = 0;
    return maintenanceBusy.compare_exchange_strong(expected, 1, std::memory_order_acq_rel);
}

/* Gives the busy flag back. Only the holder calls it. */
inline void maintenance_release() { maintenanceBusy.store(0, std::memory_order_release); }

/* True while an operation holds the flag. */
inline bool maintenance_busy() { return maintenanceBusy.load(std::memory_order_acquire) != 0; }

/* Number of maintenance workers (partitioning, format watcher) that have
 * been started and not yet finished. */
int maintenance_workers_running();

/* Joins every maintenance worker; each ends when its disk operation ends,
 * so this waits for a partitioning or format that still runs. Called by the
 * server stop once no session can start another. */
void maintenance_workers_join();

#endif
