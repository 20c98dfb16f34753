#include "manifest.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

#include <nlohmann/json.hpp>

#include "archive_writer.h"
#include "file_system.h"

namespace qrv::host {
namespace {

using Json = nlohmann::ordered_json;

constexpr const char* kEntryFields[] = {"name", "file", "size", "second_word", "crc32"};
constexpr const char* kTopFields[] = {"archive", "entries"};

// A character iterator that notes how far the parser has read, so that each
// entry's line can be told: the parser's callback knows what it met, but not
// where.
struct CountingIterator {
  using iterator_category = std::forward_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  const char* at = nullptr;
  const char** furthest = nullptr;

  reference operator*() const { return *at; }
  CountingIterator& operator++() {
    if (++at > *furthest) *furthest = at;
    return *this;
  }
  CountingIterator operator++(int) {
    CountingIterator before = *this;
    ++*this;
    return before;
  }
  bool operator==(const CountingIterator& other) const { return at == other.at; }
  bool operator!=(const CountingIterator& other) const { return at != other.at; }
};

std::string Dump(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string Hex32(uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof text, "%08x", value);
  return text;
}

bool ParseHex32(const std::string& text, uint32_t* value) {
  if (text.size() != 8) return false;
  uint32_t out = 0;
  for (char c : text) {
    int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                            : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (digit < 0) return false;
    out = out << 4 | static_cast<uint32_t>(digit);
  }
  *value = out;
  return true;
}

std::string KnownFields(const char* const* fields, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) out += (i == 0 ? "" : ", ") + std::string(fields[i]);
  return out;
}

// One entry's fields; each problem is added to `errors` under `where`.
void ReadEntry(const Json& value, const std::string& where, ManifestEntry* entry,
               std::vector<std::string>* errors) {
  auto fail = [&](const std::string& field, const std::string& why) {
    errors->push_back(where + (field.empty() ? "" : ": field \"" + field + "\"") + ": " + why);
  };
  if (!value.is_object()) return fail("", "an entry is an object such as {\"name\": \"title\"}");
  for (const auto& [key, field] : value.items()) {
    if (std::find(std::begin(kEntryFields), std::end(kEntryFields), key) == std::end(kEntryFields)) {
      fail(key, "unknown (an entry has " + KnownFields(kEntryFields, std::size(kEntryFields)) + ")");
    }
  }
  const auto name = value.find("name");
  if (name == value.end()) {
    fail("name", "missing");
  } else if (!name->is_string()) {
    fail("name", "not a string");
  } else {
    entry->name = name->get<std::string>();
    if (std::string why = writer::CheckEntryName(entry->name); !why.empty()) {
      fail("name", "cannot be stored in an archive: " + why);
    }
  }
  entry->file = entry->name;
  if (const auto file = value.find("file"); file != value.end()) {
    if (!file->is_string() || file->get<std::string>().empty()) {
      fail("file", "not a file name");
    } else {
      entry->file = file->get<std::string>();
    }
  }
  if (const auto word = value.find("second_word"); word != value.end()) {
    if (!word->is_number_unsigned() || word->get<uint64_t>() > UINT32_MAX) {
      fail("second_word", "not a whole number from 0 to 4294967295");
    } else {
      entry->secondWord = static_cast<uint32_t>(word->get<uint64_t>());
    }
  }
  if (const auto size = value.find("size"); size != value.end()) {
    if (!size->is_number_unsigned()) {
      fail("size", "not a whole number of bytes");
    } else {
      entry->size = size->get<uint64_t>();
    }
  }
  if (const auto crc = value.find("crc32"); crc != value.end()) {
    uint32_t parsed = 0;
    if (!crc->is_string() || !ParseHex32(crc->get<std::string>(), &parsed)) {
      fail("crc32", "not 8 hexadecimal digits");
    } else {
      entry->crc32 = parsed;
    }
  }
}

}  // namespace

std::string EntryPlace(const std::string& path, int line, size_t index, const std::string& name) {
  std::string place = Shown(path) + ":" + std::to_string(line) + ": entry " + std::to_string(index + 1);
  if (!name.empty() && name.size() <= 64) place += " (" + Shown(name) + ")";
  return place;
}

std::string ManifestText(const Manifest& manifest) {
  std::string out = "{\"archive\": " + Dump(manifest.archive) + ", \"entries\": [";
  for (size_t i = 0; i < manifest.entries.size(); ++i) {
    const ManifestEntry& entry = manifest.entries[i];
    out += i == 0 ? "\n  " : ",\n  ";
    out += "{\"name\": " + Dump(entry.name) + ", \"file\": " + Dump(entry.file);
    if (entry.size) out += ", \"size\": " + std::to_string(*entry.size);
    out += ", \"second_word\": " + std::to_string(entry.secondWord);
    if (entry.crc32) out += ", \"crc32\": \"" + Hex32(*entry.crc32) + "\"";
    out += "}";
  }
  return out + "\n]}\n";
}

bool ParseManifest(const std::string& path, const std::string& text, Manifest* manifest,
                   std::vector<std::string>* errors) {
  errors->clear();
  manifest->entries.clear();
  const char* furthest = text.data();
  CountingIterator first{text.data(), &furthest};
  CountingIterator last{text.data() + text.size(), &furthest};
  std::vector<size_t> entryStarts;  // offset just after the start of each entry
  bool inEntries = false;
  auto note = [&](int depth, Json::parse_event_t event, Json& parsed) {
    if (depth == 1 && event == Json::parse_event_t::key) {
      inEntries = parsed == "entries";
      if (inEntries) entryStarts.clear();  // of two "entries", the last counts
    }
    const bool starts = event == Json::parse_event_t::object_start ||
                        event == Json::parse_event_t::array_start ||
                        event == Json::parse_event_t::value;
    if (depth == 2 && inEntries && starts) {
      entryStarts.push_back(static_cast<size_t>(furthest - text.data()));
    }
    return true;
  };
  Json root;
  try {
    root = Json::parse(first, last, note);
  } catch (const Json::parse_error& failure) {
    // "[json.exception.parse_error.101] parse error at line 3, column 4: ..."
    std::string message = failure.what();
    const size_t tag = message.find("] ");
    errors->push_back(Shown(path) + ": " +
                      (tag == std::string::npos ? message : message.substr(tag + 2)));
    return false;
  }
  // The line of each entry's first character, counted in one pass (the
  // offsets rise).
  std::vector<int> entryLines;
  size_t counted = 0;
  int line = 1;
  for (size_t start : entryStarts) {
    const size_t at = std::min(start == 0 ? 0 : start - 1, text.size());
    line += static_cast<int>(std::count(text.begin() + counted, text.begin() + at, '\n'));
    counted = at;
    entryLines.push_back(line);
  }
  const auto entries = root.is_object() ? root.find("entries") : root.end();
  if (!root.is_object() || entries == root.end() || !entries->is_array() || entries->empty()) {
    errors->push_back(Shown(path) +
                      ": field \"entries\": missing or empty (the manifest is an object whose "
                      "\"entries\" list the archive's entries in order)");
    return false;
  }
  for (const auto& [key, value] : root.items()) {
    if (std::find(std::begin(kTopFields), std::end(kTopFields), key) == std::end(kTopFields)) {
      errors->push_back(Shown(path) + ": field \"" + key + "\": unknown (a manifest has " +
                        KnownFields(kTopFields, std::size(kTopFields)) + ")");
    }
  }
  if (const auto archive = root.find("archive"); archive != root.end()) {
    if (archive->is_string()) {
      manifest->archive = archive->get<std::string>();
    } else {
      errors->push_back(Shown(path) + ": field \"archive\": not a string");
    }
  }
  for (size_t i = 0; i < entries->size(); ++i) {
    ManifestEntry entry;
    entry.line = i < entryLines.size() ? entryLines[i] : 0;
    const Json& value = (*entries)[i];
    const bool named = value.is_object() && value.contains("name") && value["name"].is_string();
    const std::string where =
        EntryPlace(path, entry.line, i, named ? value["name"].get<std::string>() : "");
    ReadEntry(value, where, &entry, errors);
    manifest->entries.push_back(std::move(entry));
  }
  return errors->empty();
}

}  // namespace qrv::host
