// The fault-injecting platform backend: qrv::platform for test binaries, calling
// through to the real backend compiled as qrv::platform_real. Test-only global
// state; tests that use it run on one thread.
#include "fault_platform.h"

#include <cstring>
#include <map>
#include <set>
#include <sstream>

namespace qrv {
namespace platform_real {
#include "platform_ops.inc"
}  // namespace platform_real

namespace test {
namespace {

struct State {
  int calls[kOpCount] = {};
  Op armedOp = Op::kCount;
  int armedNth = 0;
  Fault armedHow = Fault::kFail;
  bool reached = false;
  std::set<StreamHandle> streams;
  std::map<BlockHandle, int> blocks;  // handle -> lock count
  std::set<void*> scratch;
};

State& TheState() {
  static State state;
  return state;
}

// Counts a call of `op`; true when this call is the one armed to fail.
bool Hit(Op op) {
  State& s = TheState();
  int n = ++s.calls[static_cast<int>(op)];
  if (s.armedOp == op && s.armedNth == n) {
    s.reached = true;
    return true;
  }
  return false;
}

Fault ArmedHow() { return TheState().armedHow; }

StreamHandle Track(StreamHandle stream) {
  if (stream != nullptr) TheState().streams.insert(stream);
  return stream;
}

}  // namespace

const char* OpName(Op op) {
  static const char* const kNames[kOpCount] = {"alloc", "lock",  "open",   "read",       "seek",
                                               "write", "close", "buffer", "probe-read", "probe-move"};
  return op == Op::kCount ? "none" : kNames[static_cast<int>(op)];
}

void ResetFaults() {
  State& s = TheState();
  for (int& c : s.calls) c = 0;
  s.armedOp = Op::kCount;
  s.armedNth = 0;
  s.armedHow = Fault::kFail;
  s.reached = false;
}

void ArmFault(Op op, int nth, Fault how) {
  ResetFaults();
  State& s = TheState();
  s.armedOp = op;
  s.armedNth = nth;
  s.armedHow = how;
}

bool FaultReached() { return TheState().reached; }

int CallCount(Op op) { return TheState().calls[static_cast<int>(op)]; }

int OpenStreams() { return static_cast<int>(TheState().streams.size()); }

int LiveBlocks() { return static_cast<int>(TheState().blocks.size()); }

int LockedBlocks() {
  int locked = 0;
  for (const auto& [block, count] : TheState().blocks) locked += count > 0 ? 1 : 0;
  return locked;
}

int LiveScratch() { return static_cast<int>(TheState().scratch.size()); }

std::string LiveSummary() {
  std::ostringstream out;
  out << OpenStreams() << " streams, " << LiveBlocks() << " blocks (" << LockedBlocks()
      << " locked), " << LiveScratch() << " scratch buffers";
  return out.str();
}

bool FreeHostBlock(BlockHandle block) {
  auto& blocks = TheState().blocks;
  auto it = blocks.find(block);
  if (it == blocks.end() || it->second != 0) return false;
  blocks.erase(it);
  platform_real::FreeBlock(block);
  return true;
}

std::vector<uint8_t> HostBlockBytes(BlockHandle block, size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(platform_real::LockBlock(block));
  if (bytes == nullptr) return {};
  std::vector<uint8_t> copy(bytes, bytes + size);
  platform_real::UnlockBlock(block);
  return copy;
}

}  // namespace test

namespace platform {

using test::Hit;
using test::Op;

StreamHandle OpenFileRead(const char* path) {
  return Hit(Op::kOpen) ? nullptr : test::Track(platform_real::OpenFileRead(path));
}

StreamHandle CreateFileWrite(const char* path) {
  return Hit(Op::kOpen) ? nullptr : test::Track(platform_real::CreateFileWrite(path));
}

StreamHandle OpenMemory(char* address, int32_t length) {
  return Hit(Op::kOpen) ? nullptr : test::Track(platform_real::OpenMemory(address, length));
}

int32_t Read(StreamHandle stream, void* destination, int32_t count) {
  if (Hit(Op::kRead)) {
    if (test::ArmedHow() == test::Fault::kFail || count <= 0) return -1;
    return platform_real::Read(stream, destination, count - 1);
  }
  return platform_real::Read(stream, destination, count);
}

int32_t Seek(StreamHandle stream, int32_t distance, SeekOrigin origin) {
  return Hit(Op::kSeek) ? -1 : platform_real::Seek(stream, distance, origin);
}

int32_t Write(StreamHandle stream, const void* source, int32_t count) {
  if (Hit(Op::kWrite)) {
    if (test::ArmedHow() == test::Fault::kFail || count <= 0) return -1;
    return platform_real::Write(stream, source, count - 1);
  }
  return platform_real::Write(stream, source, count);
}

int32_t GetBuffer(StreamHandle stream, char** address, int32_t* length) {
  return Hit(Op::kBuffer) ? 1 : platform_real::GetBuffer(stream, address, length);
}

int32_t BeginDirectRead(StreamHandle stream, ReadWindow* window) {
  return Hit(Op::kBuffer) ? 1 : platform_real::BeginDirectRead(stream, window);
}

int32_t RefillDirectRead(StreamHandle stream, ReadWindow* window) {
  return Hit(Op::kRead) ? 1 : platform_real::RefillDirectRead(stream, window);
}

int32_t EndDirectRead(StreamHandle stream, ReadWindow window) {
  return Hit(Op::kBuffer) ? 1 : platform_real::EndDirectRead(stream, window);
}

int32_t Close(StreamHandle stream) {
  test::TheState().streams.erase(stream);
  bool fail = Hit(Op::kClose);
  int32_t answer = platform_real::Close(stream);
  return fail ? 1 : answer;
}

int32_t RemoveFile(const char* path) { return platform_real::RemoveFile(path); }

BlockHandle AllocBlock(uint32_t size, BlockFill fill) {
  if (Hit(Op::kAlloc)) return nullptr;
  BlockHandle block = platform_real::AllocBlock(size, fill);
  if (block == nullptr) return nullptr;
  if (fill == BlockFill::kUncleared) {
    // Not zero, as recycled memory need not be: a byte its user leaves
    // unwritten shows.
    void* bytes = platform_real::LockBlock(block);
    if (bytes != nullptr) memset(bytes, 0xA5, size);
    platform_real::UnlockBlock(block);
  }
  test::TheState().blocks[block] = 0;
  return block;
}

void* LockBlock(BlockHandle block) {
  if (Hit(Op::kLock)) return nullptr;
  void* address = platform_real::LockBlock(block);
  if (address != nullptr) ++test::TheState().blocks[block];
  return address;
}

void UnlockBlock(BlockHandle block) {
  auto& blocks = test::TheState().blocks;
  auto it = blocks.find(block);
  if (it != blocks.end() && it->second > 0) --it->second;
  platform_real::UnlockBlock(block);
}

void FreeBlock(BlockHandle block) {
  test::TheState().blocks.erase(block);
  platform_real::FreeBlock(block);
}

void* AllocScratch(size_t size) {
  if (Hit(Op::kAlloc)) return nullptr;
  void* memory = platform_real::AllocScratch(size);
  if (memory != nullptr) test::TheState().scratch.insert(memory);
  return memory;
}

void FreeScratch(void* memory) {
  test::TheState().scratch.erase(memory);
  platform_real::FreeScratch(memory);
}

int32_t ReadProbe(ProbeValue handle, void* destination, uint32_t count, uint32_t* countRead) {
  return Hit(Op::kProbeRead) ? 1 : platform_real::ReadProbe(handle, destination, count, countRead);
}

int32_t MoveProbe(ProbeValue handle, int32_t distance) {
  return Hit(Op::kProbeMove) ? 1 : platform_real::MoveProbe(handle, distance);
}

int32_t CompareText(const char* a, const char* b) { return platform_real::CompareText(a, b); }

int32_t CompareTextIgnoreCase(const char* a, const char* b) {
  return platform_real::CompareTextIgnoreCase(a, b);
}

}  // namespace platform
}  // namespace qrv
