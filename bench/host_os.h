// What the benchmark needs from the operating system beyond the standard
// library: the host's side of a handed-over block, and the memory figures of a
// child process that only decodes. Windows builds get the block routines and
// report the memory figures as unavailable.
#ifndef QRV_BENCH_HOST_OS_H
#define QRV_BENCH_HOST_OS_H

#include <cstdint>
#include <string>
#include <vector>

#include "qrvnel.h"

namespace qrv::bench {

// A block handed over by a plug-in: its address while locked, then freed.
uint8_t* LockHostBlock(QrvBlock block);
void UnlockHostBlock(QrvBlock block);
void FreeHostBlock(QrvBlock block);

// The running program's own path, for starting it again as a child.
std::string SelfPath();

// Resident-set figures of this process in KiB, from the kernel: the current
// size, and the peak since the last ResetPeakResident (or since the start).
// -1 where the system does not tell.
int64_t CurrentResidentKib();
int64_t PeakResidentKib();
// Makes the peak start again from the current size; false when not possible.
bool ResetPeakResident();

// Makes every large allocation of this process from now on a new mapping of
// pages the kernel zeroes on first touch, as a Windows host's large blocks
// always are; false where the allocator cannot be told so (and on Windows,
// where it needs no telling).
bool AllocateLargeBlocksFresh();

// Runs `program` with `arguments`, waits, and returns its standard output;
// false when it could not be started or did not exit with 0.
bool RunChild(const std::string& program, const std::vector<std::string>& arguments,
              std::string* output);

}  // namespace qrv::bench

#endif  // QRV_BENCH_HOST_OS_H
