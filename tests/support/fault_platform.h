// A platform backend for tests: it passes every operation to the build's real
// backend, counts the calls, can make the Nth call of a kind fail, and keeps
// account of every stream, block and scratch buffer, so that a test can see
// that a failing export left nothing behind. Linked into test binaries only.
#ifndef QRV_TESTS_FAULT_PLATFORM_H
#define QRV_TESTS_FAULT_PLATFORM_H

#include <cstdint>
#include <string>
#include <vector>

#include "platform.h"

namespace qrv::test {

// The kinds of operation a fault can hit.
enum class Op {
  kAlloc,      // AllocBlock, AllocScratch: null
  kLock,       // LockBlock: null
  kOpen,       // OpenFileRead, CreateFileWrite, OpenMemory: null
  kRead,       // Read: -1 (or short); RefillDirectRead: failure
  kSeek,       // Seek: -1
  kWrite,      // Write: -1 (or short)
  kClose,      // Close: the stream is closed but the answer is a failure
  kBuffer,     // GetBuffer, BeginDirectRead, EndDirectRead: failure
  kProbeRead,  // ReadProbe: failure
  kProbeMove,  // MoveProbe: failure
  kCount,
};

constexpr int kOpCount = static_cast<int>(Op::kCount);

const char* OpName(Op op);

// How an armed read or write fails: outright, or by moving one byte fewer.
enum class Fault { kFail, kShort };

// Clears the call counts and any armed fault. Resource accounting is kept.
void ResetFaults();

// Makes the nth call (1-based, counted from the last reset) of `op` fail.
void ArmFault(Op op, int nth, Fault how = Fault::kFail);

// Whether the armed fault has been reached since it was armed.
bool FaultReached();

int CallCount(Op op);

// What is alive now.
int OpenStreams();
int LiveBlocks();
int LockedBlocks();
int LiveScratch();

// A one-line account of what is alive, for failure messages.
std::string LiveSummary();

// The host's side of a handed-over block: true when `block` is a live,
// unlocked block; it is then freed. False (and nothing freed) otherwise.
bool FreeHostBlock(BlockHandle block);

// The first `size` bytes of a handed-over block, read the way a host reads it
// (lock, copy, unlock), without counting as a call of the code under test.
std::vector<uint8_t> HostBlockBytes(BlockHandle block, size_t size);

}  // namespace qrv::test

#endif  // QRV_TESTS_FAULT_PLATFORM_H
