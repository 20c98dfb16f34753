// The corpus program that links one plug-in's format code (QRV_CORPUS_IMAGE or
// QRV_CORPUS_ARCHIVE) on the accounting backend: after every call nothing may
// be open, locked or allocated beyond the blocks handed to the host.
#include <gtest/gtest.h>

#include "corpus.h"
#include "fault_platform.h"

extern "C" {
int32_t QRV_CALL IsSupported(char* filename, uintptr_t dw);
#if defined(QRV_CORPUS_IMAGE)
int32_t QRV_CALL GetPictureInfo(char* src, int32_t len, uint32_t flag, PictureInfo* info);
int32_t QRV_CALL GetPicture(char* src, int32_t len, uint32_t flag, QrvBlock* info_out,
                            QrvBlock* bits_out, ProgressCallback progress, QrvUser user);
#else
int32_t QRV_CALL GetArchiveInfo(char* src, int32_t len, uint32_t flag, QrvBlock* listing_out);
int32_t QRV_CALL GetFileInfo(char* src, int32_t len, char* name, uint32_t flag, FileInfo* info);
int32_t QRV_CALL GetFile(char* src, int32_t len, char* dest, uint32_t flag,
                         ProgressCallback progress, QrvUser user);
#endif
}

namespace qrv::corpus {

const Exports* ExportsFor(const std::string& kind) {
  static const Exports exports = [] {
    Exports e;
    e.isSupported = &IsSupported;
#if defined(QRV_CORPUS_IMAGE)
    e.getPictureInfo = &GetPictureInfo;
    e.getPicture = &GetPicture;
#else
    e.getArchiveInfo = &GetArchiveInfo;
    e.getFileInfo = &GetFileInfo;
    e.getFile = &GetFile;
#endif
    return e;
  }();
#if defined(QRV_CORPUS_IMAGE)
  return kind == "image" ? &exports : nullptr;
#else
  return kind == "archive" ? &exports : nullptr;
#endif
}

void CheckAfterCall(int handedOver) {
  EXPECT_EQ(test::OpenStreams(), 0) << test::LiveSummary();
  EXPECT_EQ(test::LockedBlocks(), 0) << test::LiveSummary();
  EXPECT_EQ(test::LiveScratch(), 0) << test::LiveSummary();
  EXPECT_EQ(test::LiveBlocks(), handedOver) << test::LiveSummary();
}

void FreeBlock(QrvBlock block) { EXPECT_TRUE(test::FreeHostBlock(block)) << "not a host block"; }

}  // namespace qrv::corpus
