/*
 * host_disks.cpp - the simulated hard disks: partitioning, formatting with
 * progress, and the hard-disk record.
 *
 * Each disk has a fixed capacity and one to four partitions. The layout is
 * kept in the store ("disk.N"), so it survives a restart. The record files
 * of the state folder live on partition 0 of disk 0: they are what is used
 * there, and partitioning disk 0 or formatting that partition deletes them.
 * A format takes --format-seconds; its effect is stored when it starts and
 * its progress is read from the clock, so no thread runs it.
 */
#include <unistd.h>

#include <array>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "device_state.h"
#include "failures.h"
#include "netserver/host_api.h"
#include "netserver/records.h"
#include "netserver/wire.h"
#include "store.h"

namespace {

namespace rec = records;
using Clock = std::chrono::steady_clock;

constexpr uint64_t kDiskCapacity = 1000204886016ull;  // a "1 TB" disk
constexpr auto kPartitioningTime = std::chrono::seconds(2);

struct Partition {
    uint32_t state = rec::PART_FORMATTED;
    uint32_t fileSystem = 0;
};

struct Disk {
    uint32_t partitions = 1;
    std::array<Partition, rec::HD_MAX_PARTITIONS> part{};
    bool partitioning = false;  // in memory only: a restart ends it
};

struct FormatRun {
    Clock::time_point start;
    bool finishedLogged = false;
};

struct DiskState {
    std::mutex mutex;
    std::vector<Disk> disks;                                 // guarded by mutex
    std::map<std::pair<uint32_t, uint32_t>, FormatRun> runs;  // (disk, partition); mutex
};

// Never destroyed, so that no exit path has to order its destruction after
// the module's format watcher (joined by st_net_stopNetServer).
DiskState& diskState() {
    static DiskState* s = new DiskState;
    return *s;
}

std::mutex& g_mutex = diskState().mutex;
std::vector<Disk>& g_disks = diskState().disks;
std::map<std::pair<uint32_t, uint32_t>, FormatRun>& g_runs = diskState().runs;

std::string key(size_t disk) { return "disk." + std::to_string(disk); }

void save(size_t d) {
    Bytes b(4 + rec::HD_MAX_PARTITIONS * 8, 0);
    wire::putU32(b.data(), 0, g_disks[d].partitions);
    for (size_t p = 0; p < rec::HD_MAX_PARTITIONS; ++p) {
        wire::putU32(b.data(), 4 + p * 8, g_disks[d].part[p].state);
        wire::putU32(b.data(), 8 + p * 8, g_disks[d].part[p].fileSystem);
    }
    deviceStore().putBlob(key(d), b);
}

Clock::duration formatTime() { return std::chrono::seconds(deviceState().formatSeconds); }

// Whether a format of (disk, partition) still runs; logs its end once.
bool formatRunning(uint32_t disk, uint32_t part) {
    auto it = g_runs.find({disk, part});
    if (it == g_runs.end()) return false;
    if (Clock::now() - it->second.start < formatTime()) return true;
    if (!it->second.finishedLogged) {
        it->second.finishedLogged = true;
        deviceLog(wire::LOG_CATEGORY_DISK,
                  "format disk " + std::to_string(disk) + " partition " + std::to_string(part) + " done");
    }
    return false;
}

bool diskBusy(uint32_t disk) {
    if (g_disks[disk].partitioning) return true;
    for (uint32_t p = 0; p < rec::HD_MAX_PARTITIONS; ++p)
        if (formatRunning(disk, p)) return true;
    return false;
}

bool validDisk(uint32_t disk) { return disk < g_disks.size(); }

}  // namespace

bool loadDisks() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_disks.assign(deviceState().disks, Disk{});
    for (size_t d = 0; d < g_disks.size(); ++d) {
        const std::optional<Bytes> b = deviceStore().blob(key(d));
        if (!b || b->size() != 4 + rec::HD_MAX_PARTITIONS * 8) {
            save(d);
            continue;
        }
        const uint32_t n = wire::getU32(b->data(), 0);
        g_disks[d].partitions = n >= 1 && n <= rec::HD_MAX_PARTITIONS ? n : 1;
        for (size_t p = 0; p < rec::HD_MAX_PARTITIONS; ++p)
            g_disks[d].part[p] = {wire::getU32(b->data(), 4 + p * 8), wire::getU32(b->data(), 8 + p * 8)};
    }
    return true;
}

// Partitions disk word0 into word1 (1..4) unformatted partitions; takes a
// few seconds and returns when done. Returns 0, or -1 for an unknown disk, a
// partition count out of range, or a disk that is partitioning or formatting.
extern "C" int st_app_fdiskHd(uint32_t word0, uint32_t word1, int32_t flag) {
    (void)flag;
    if (auto injected = injectedFailure("st_app_fdiskHd")) return *injected;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (!validDisk(word0) || word1 < 1 || word1 > rec::HD_MAX_PARTITIONS || diskBusy(word0)) return -1;
        g_disks[word0].partitioning = true;
    }
    deviceLog(wire::LOG_CATEGORY_DISK, "partitioning disk " + std::to_string(word0) + " into " +
                                          std::to_string(word1));
    std::this_thread::sleep_for(kPartitioningTime);
    if (word0 == 0) clearRecordFiles();
    std::lock_guard<std::mutex> lock(g_mutex);
    Disk& disk = g_disks[word0];
    disk.partitions = word1;
    disk.part.fill(Partition{rec::PART_UNFORMATTED, 0});
    disk.partitioning = false;
    for (uint32_t p = 0; p < rec::HD_MAX_PARTITIONS; ++p) g_runs.erase({word0, p});
    save(word0);
    deviceLog(wire::LOG_CATEGORY_DISK, "partitioning disk " + std::to_string(word0) + " done");
    return 0;
}

// Starts formatting partition word1 of disk word0 with file system word2.
// Returns 0, or -1 for a partition that does not exist or a disk that is
// busy.
extern "C" int st_app_formatPart(uint32_t word0, uint32_t word1, uint32_t word2, int32_t flag) {
    (void)flag;
    if (auto injected = injectedFailure("st_app_formatPart")) return *injected;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (!validDisk(word0) || word1 >= g_disks[word0].partitions || diskBusy(word0)) return -1;
        g_disks[word0].part[word1] = {rec::PART_FORMATTED, word2};
        g_runs[{word0, word1}] = FormatRun{Clock::now(), false};
        save(word0);
    }
    if (word0 == 0 && word1 == 0) clearRecordFiles();
    deviceLog(wire::LOG_CATEGORY_DISK,
              "format disk " + std::to_string(word0) + " partition " + std::to_string(word1));
    return 0;
}

// Progress of the format of partition word1 of disk word0: 0..99 while it
// runs, 100 once it has ended (or for a formatted partition without a format
// in this run), -1 for a partition that does not exist or is not formatted.
extern "C" int st_app_getFormatPercent(uint32_t word0, uint32_t word1) {
    if (auto injected = injectedFailure("st_app_getFormatPercent")) return *injected;
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!validDisk(word0) || word1 >= g_disks[word0].partitions) return -1;
    if (formatRunning(word0, word1)) {
        const auto elapsed = Clock::now() - g_runs[{word0, word1}].start;
        return static_cast<int>(elapsed * 100 / formatTime());
    }
    return g_disks[word0].part[word1].state == rec::PART_FORMATTED ? 100 : -1;
}

// Fills the 968-byte hard-disk record (layout in records.h). Returns 0.
extern "C" int st_app_netGetHardDiskData(void* out) {
    if (auto injected = injectedFailure("st_app_netGetHardDiskData")) return *injected;
    if (out == nullptr) return -1;
    const uint64_t used = recordFileBytes();
    auto* r = static_cast<uint8_t*>(out);
    std::fill(r, r + wire::HARDDISK_RECORD_SIZE, 0);
    std::lock_guard<std::mutex> lock(g_mutex);
    wire::putU32(r, rec::HD_DISK_COUNT, static_cast<uint32_t>(g_disks.size()));
    for (uint32_t d = 0; d < g_disks.size() && d < rec::HD_MAX_DISKS; ++d) {
        uint8_t* e = r + rec::HD_DISKS + d * rec::HD_DISK_SIZE;
        const Disk& disk = g_disks[d];
        uint64_t diskFree = 0;
        bool formatting = false;
        for (uint32_t p = 0; p < disk.partitions; ++p) {
            uint8_t* pe = e + rec::HD_PARTS + p * rec::HD_PART_SIZE;
            const uint64_t size = kDiskCapacity / disk.partitions +
                                  (p + 1 == disk.partitions ? kDiskCapacity % disk.partitions : 0);
            const bool running = formatRunning(d, p);
            formatting = formatting || running;
            const bool usable = !running && disk.part[p].state == rec::PART_FORMATTED;
            const uint64_t taken = d == 0 && p == 0 ? std::min(used, size) : 0;
            const uint64_t free = usable ? size - taken : 0;
            diskFree += free;
            wire::putU64(pe, rec::HD_PART_CAPACITY, size);
            wire::putU64(pe, rec::HD_PART_FREE, free);
            wire::putU32(pe, rec::HD_PART_STATE, running ? rec::PART_FORMATTING : disk.part[p].state);
            wire::putU32(pe, rec::HD_PART_FILE_SYSTEM, disk.part[p].fileSystem);
        }
        const uint32_t state = disk.partitioning ? rec::DISK_PARTITIONING
                               : formatting      ? rec::DISK_FORMATTING
                                                 : rec::DISK_READY;
        wire::putU32(e, rec::HD_DISK_STATE, state);
        wire::putU32(e, rec::HD_DISK_PARTITIONS, disk.partitions);
        wire::putU64(e, rec::HD_DISK_CAPACITY, kDiskCapacity);
        wire::putU64(e, rec::HD_DISK_FREE, diskFree);
    }
    return 0;
}
