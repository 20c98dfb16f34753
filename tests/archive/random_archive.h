// Seeded random archives for round trips: entries with names of 1 to 300
// characters (unique, since lookups report the first match) and data sizes
// from 1 byte up to a few MiB, written with the archive writer.
#ifndef QRV_TESTS_RANDOM_ARCHIVE_H
#define QRV_TESTS_RANDOM_ARCHIVE_H

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "archive_writer.h"

namespace qrv::test {

struct RandomArchive {
  std::vector<writer::ArchiveEntry> entries;
  std::vector<uint32_t> positions;  // each entry's header offset
  std::vector<uint8_t> bytes;
  bool written = false;
  std::string error;
};

// `bigEntries` of the entries, spread evenly, get 1 to 4 MiB; the rest 1 byte
// to 2 KiB.
inline RandomArchive MakeRandomArchive(uint32_t seed, size_t entryCount, size_t bigEntries) {
  static const char kNameChars[] = "0123456789abcdefghijklmnopqrstuvwxyz_";
  std::mt19937 random(seed);
  auto pick = [&](uint32_t low, uint32_t high) {
    return std::uniform_int_distribution<uint32_t>(low, high)(random);
  };
  RandomArchive archive;
  uint32_t position = 0;
  for (size_t i = 0; i < entryCount; ++i) {
    writer::ArchiveEntry entry;
    // A unique tail keeps names apart; short names come from a separate range.
    std::string tail = std::to_string(i);
    tail.insert(tail.begin(), '_');
    size_t length = pick(0, 9) == 0 ? pick(1, 2) : pick(1, 300);
    if (length <= 2 && i < 37) {
      entry.name = std::string(1, kNameChars[i]);
    } else {
      length = std::max(length, tail.size() + 1);
      for (size_t c = 0; c + tail.size() < length; ++c) entry.name += kNameChars[pick(0, 36)];
      entry.name += tail;
    }
    bool big = (i + 1) * bigEntries / entryCount != i * bigEntries / entryCount;
    uint32_t size = big ? pick(1u << 20, 4u << 20) : pick(0, 3) == 0 ? pick(1, 32) : pick(1, 2048);
    entry.data.resize(size);
    for (auto& byte : entry.data) byte = static_cast<uint8_t>(random());
    entry.secondWord = random();
    archive.positions.push_back(position);
    position += 10 + static_cast<uint32_t>(entry.name.size()) + size;
    archive.entries.push_back(std::move(entry));
  }
  archive.written = writer::WriteArchive(archive.entries, &archive.bytes, &archive.error);
  return archive;
}

}  // namespace qrv::test

#endif  // QRV_TESTS_RANDOM_ARCHIVE_H
