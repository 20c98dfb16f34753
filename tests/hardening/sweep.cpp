#include "sweep.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "test_files.h"

namespace qrv::hardening {
namespace {

using test::Fault;
using test::Op;

// Far more calls of one kind than any swept call makes: a sweep that gets
// here would never end.
constexpr int kMaxNth = 20000;

// The codes a failure of `op` may give, when the failure is outright.
std::set<int32_t> Documented(const SweepCall& call, Op op) {
  switch (op) {
    case Op::kAlloc: return {RC_NO_MEMORY};
    case Op::kLock: return {RC_MEMORY_ERROR};
    case Op::kOpen: return call.onOpen;
    case Op::kRead:
    case Op::kSeek:
      return {RC_READ_ERROR};
    // The output file's own failures are internal errors; the source's close
    // turns a success into a read error.
    case Op::kWrite: return {RC_INTERNAL_ERROR};
    case Op::kClose: return {RC_READ_ERROR, RC_INTERNAL_ERROR};
    // A stream whose buffer cannot be reached cannot be read.
    case Op::kBuffer: return {RC_READ_ERROR, RC_MEMORY_ERROR};
    default: return {RC_READ_ERROR};
  }
}

bool IsResultCode(int32_t rc) {
  return rc == RC_OK || rc == RC_ABORTED || rc == RC_UNKNOWN_FORMAT || rc == RC_NO_MEMORY ||
         rc == RC_MEMORY_ERROR || rc == RC_READ_ERROR || rc == RC_INTERNAL_ERROR;
}

std::string Describe(const SweepCall& call, int op, Fault how, int nth) {
  std::string what = op == test::kOpCount ? "progress stop" : test::OpName(static_cast<Op>(op));
  if (how == Fault::kShort) what += " (short)";
  return call.name + ": " + what + " #" + std::to_string(nth);
}

// Frees what the call handed over; false when a block was not the host's.
void TakeBlocks(const Outcome& outcome, const std::string& where) {
  for (QrvBlock block : outcome.handedOver) {
    EXPECT_TRUE(test::FreeHostBlock(block)) << where << ": handed a block that is locked or not live";
  }
}

// Checks one injected call; true when the fault was reached.
bool CheckOne(const SweepCall& call, const Outcome& clean, int op, Fault how, int nth) {
  if (!call.outputFile.empty()) std::remove(call.outputFile.c_str());
  if (op < test::kOpCount) {
    test::ArmFault(static_cast<Op>(op), nth, how);
  } else {
    test::ResetFaults();
  }
  const Outcome got = call.run(op == test::kOpCount ? nth - 1 : -1);
  const bool reached = op == test::kOpCount ? got.progressCalls >= nth : test::FaultReached();
  const std::string where = Describe(call, op, how, nth);

  EXPECT_EQ(test::OpenStreams(), 0) << where << ": " << test::LiveSummary();
  EXPECT_EQ(test::LockedBlocks(), 0) << where << ": " << test::LiveSummary();
  EXPECT_EQ(test::LiveScratch(), 0) << where << ": " << test::LiveSummary();
  const bool failed = call.answersOneOrZero ? false : got.rc != RC_OK;
  if (call.answersOneOrZero) {
    EXPECT_TRUE(got.rc == 0 || got.rc == 1) << where << ": answered " << got.rc;
  } else {
    EXPECT_TRUE(IsResultCode(got.rc)) << where << ": answered " << got.rc;
  }
  if (failed) {
    EXPECT_TRUE(got.handedOver.empty()) << where << ": a failed call handed a block over";
    EXPECT_EQ(test::LiveBlocks(), 0) << where << ": a failed call left a block";
  } else {
    EXPECT_EQ(test::LiveBlocks(), static_cast<int>(got.handedOver.size())) << where;
  }
  if (!call.outputFile.empty()) {
    const bool exists = test::FileExists(call.outputFile);
    // Only the output file's own failures may leave it behind.
    if (failed && got.rc != RC_INTERNAL_ERROR) {
      EXPECT_FALSE(exists) << where << ": a failed extraction left " << call.outputFile;
    }
    if (!failed) EXPECT_TRUE(exists) << where << ": no output file";
  }

  if (!reached) {
    EXPECT_EQ(got.rc, clean.rc) << where << ": not reached, yet another answer";
    EXPECT_TRUE(got.delivered == clean.delivered) << where << ": not reached, yet other data";
  } else if (op == test::kOpCount) {
    EXPECT_EQ(got.rc, call.answersOneOrZero ? clean.rc : RC_ABORTED) << where;
  } else if (how == Fault::kFail) {
    const Op kind = static_cast<Op>(op);
    if (call.answersOneOrZero) {
      // The detection stream's close is not looked at; anything else means no.
      EXPECT_EQ(got.rc, kind == Op::kClose ? clean.rc : 0) << where;
    } else if (kind == Op::kRead && got.rc == clean.rc && got.delivered == clean.delivered) {
      // A read ahead of what the call needs (the bit reader's window refill at
      // the end of the data) may fail unseen; the answer is then the clean one.
    } else {
      const std::set<int32_t> allowed = Documented(call, kind);
      EXPECT_TRUE(allowed.count(got.rc) != 0) << where << ": answered " << got.rc;
    }
  } else if (!failed) {
    // A short read may still decode; a success must then be a whole one.
    EXPECT_EQ(got.delivered.size(), clean.delivered.size()) << where;
  }
  TakeBlocks(got, where);
  EXPECT_EQ(test::LiveBlocks(), 0) << where << ": " << test::LiveSummary();
  return reached;
}

}  // namespace

int SweepCount::total() const {
  int sum = 0;
  for (int p : points) sum += p;
  return sum;
}

int32_t QRV_CALL StopAt::Callback(int32_t, int32_t, QrvUser user) {
  auto* self = reinterpret_cast<StopAt*>(user);
  return self->calls++ == self->stopAt ? 1 : 0;
}

SweepCount Sweep(const SweepCall& call) {
  SweepCount count;
  if (!call.outputFile.empty()) std::remove(call.outputFile.c_str());
  test::ResetFaults();
  const Outcome clean = call.run(-1);
  TakeBlocks(clean, call.name + ": clean run");
  if (!call.answersOneOrZero) {
    EXPECT_EQ(clean.rc, RC_OK) << call.name << ": the clean run failed";
  }
  for (int op = 0; op <= test::kOpCount; ++op) {
    for (Fault how : {Fault::kFail, Fault::kShort}) {
      const bool partial = op == static_cast<int>(Op::kRead) || op == static_cast<int>(Op::kWrite);
      if (how == Fault::kShort && !partial) continue;
      int nth = 1;
      for (; nth <= kMaxNth; ++nth) {
        if (!CheckOne(call, clean, op, how, nth)) break;
        ++count.points[op];
        if (testing::Test::HasFatalFailure()) return count;
      }
      EXPECT_LE(nth, kMaxNth) << call.name << ": the sweep did not end";
    }
  }
  test::ResetFaults();
  return count;
}

void PrintCounts(const std::string& title,
                 const std::vector<std::pair<std::string, SweepCount>>& counts) {
  std::printf("%s: fault points injected\n", title.c_str());
  std::printf("  %-44s", "call");
  for (int op = 0; op < test::kOpCount; ++op) std::printf(" %5.5s", test::OpName(static_cast<test::Op>(op)));
  std::printf(" %5s %6s\n", "progr", "total");
  int sum = 0;
  for (const auto& [name, count] : counts) {
    std::printf("  %-44s", name.c_str());
    for (int op = 0; op <= test::kOpCount; ++op) std::printf(" %5d", count.points[op]);
    std::printf(" %6d\n", count.total());
    sum += count.total();
  }
  std::printf("  %-44s %d\n", "all calls", sum);
}

}  // namespace qrv::hardening
