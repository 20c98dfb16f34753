// The exports of the archive extractor, axqrvnel: what the host calls by name.
// Each opens its source, runs the walker or the extraction, closes the source
// and only then decides about its block, so that a failed close frees it and
// the host never owns a block from a call that failed.
#include "exports.h"

#include <string.h>

#include "entry_header.h"
#include "extract.h"
#include "walker.h"

namespace {

constexpr const char* kInfoTable[] = {
    "00AM",
    "AxQrvNel - Quorvanel Archive extract library ver0.02",
    "*.dat",
    "Quorvanel Archive (*.DAT)",
    nullptr,
};

}  // namespace

QRV_EXPORT int32_t QRV_CALL GetPluginInfo(int32_t infono, char* buf, int32_t buflen) {
  return qrv::CopyInfoString(kInfoTable, infono, buf, buflen);
}

QRV_EXPORT int32_t QRV_CALL IsSupported(char* filename, uintptr_t dw) {
  qrv::StreamHandle stream = nullptr;
  if (qrv::OpenProbe(&stream, filename, dw) != RC_OK) return 0;
  qrv::WalkRequest request = {stream, QRV_HEAD_SIZE, false, nullptr, nullptr, false};
  int32_t answer = qrv::WalkArchive(request, nullptr) == RC_OK ? 1 : 0;
  // The answer stays 1 or 0 whatever the close says.
  (void)qrv::platform::Close(stream);
  return answer;
}

QRV_EXPORT int32_t QRV_CALL GetArchiveInfo(char* src, int32_t len, uint32_t flag,
                                           QrvBlock* listing_out) {
  // Our choice: no place for the listing is a bad call, refused before opening.
  if (listing_out == nullptr) return RC_INTERNAL_ERROR;
  *listing_out = nullptr;
  qrv::StreamHandle stream = nullptr;
  int32_t rc = qrv::OpenSource(&stream, src, len, flag);
  if (rc != RC_OK) return rc;
  qrv::WalkRequest request = {stream, 0, true, nullptr, nullptr, false};
  qrv::Listing listing = {nullptr, nullptr};
  rc = qrv::WalkArchive(request, &listing);
  qrv::CloseSource(stream, &rc);
  if (rc == RC_OK) *listing_out = listing.handle;
  qrv::ReleaseBlock(listing.handle, rc == RC_OK ? nullptr : listing.address);
  return rc;
}

QRV_EXPORT int32_t QRV_CALL GetFileInfo(char* src, int32_t len, char* name, uint32_t flag,
                                        FileInfo* info) {
  qrv::StreamHandle stream = nullptr;
  int32_t rc = qrv::OpenSource(&stream, src, len, flag);
  if (rc != RC_OK) return rc;
  // The record is filled in a copy of the host's, which gets it only when the
  // whole call succeeds; fields the record does not define stay as they were.
  // A found name answers RC_OK even when there is no record to fill.
  FileInfo record;
  if (info != nullptr) memcpy(&record, info, sizeof record);
  qrv::WalkRequest request = {stream, 0, false, info != nullptr ? &record : nullptr, name,
                              (flag & QRV_IGNORE_CASE) != 0};
  rc = qrv::WalkArchive(request, nullptr);
  qrv::CloseSource(stream, &rc);
  if (rc == RC_OK && info != nullptr) memcpy(info, &record, sizeof record);
  return rc;
}

QRV_EXPORT int32_t QRV_CALL GetFile(char* src, int32_t len, char* dest, uint32_t flag,
                                    ProgressCallback progress, QrvUser user) {
  const bool toMemory = (flag & QRV_OUTPUT_MASK) != 0;
  auto* blockOut = reinterpret_cast<QrvBlock*>(dest);
  // Our choice: no destination is a bad call, refused before opening.
  if (dest == nullptr) return RC_INTERNAL_ERROR;
  if (toMemory) *blockOut = nullptr;
  qrv::StreamHandle stream = nullptr;
  int32_t rc = qrv::OpenSource(&stream, src, len, flag);
  if (rc != RC_OK) return rc;

  qrv::EntryHeader header = {};
  char* name = nullptr;
  qrv::BlockHandle block = nullptr;
  void* address = nullptr;
  rc = qrv::ReadEntryHeader(stream, &header, &name);
  if (rc == RC_OK) rc = qrv::AllocBlock(header.dataSize, &block, &address);
  if (rc == RC_OK) {
    rc = qrv::ReadEntryData(stream, header.dataSize, static_cast<uint8_t*>(address),
                            progress != nullptr ? progress : qrv::DefaultProgress, user);
  }
  // The source is closed before delivery: a failed close then neither leaves a
  // file behind nor a block with the host.
  qrv::CloseSource(stream, &rc);
  if (rc == RC_OK && !toMemory) {
    rc = qrv::WriteOutputFile(dest, name, static_cast<const uint8_t*>(address), header.dataSize);
  }
  const bool handOver = rc == RC_OK && toMemory;
  if (handOver) *blockOut = block;
  qrv::ReleaseBlock(block, handOver ? nullptr : address);
  qrv::ReleaseEntryName(name);
  return rc;
}
