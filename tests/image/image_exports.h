// The image filter's exports, linked straight into the in-process suites (over
// the fault-injecting platform backend).
#ifndef QRV_TESTS_IMAGE_IMAGE_EXPORTS_H
#define QRV_TESTS_IMAGE_IMAGE_EXPORTS_H

#include "qrvnel.h"

extern "C" {
int32_t QRV_CALL IsSupported(char* filename, uintptr_t dw);
int32_t QRV_CALL GetPictureInfo(char* src, int32_t len, uint32_t flag, PictureInfo* info);
int32_t QRV_CALL GetPreview(char* src, int32_t len, uint32_t flag, QrvBlock* info_out,
                            QrvBlock* bits_out, ProgressCallback progress, QrvUser user);
int32_t QRV_CALL GetPicture(char* src, int32_t len, uint32_t flag, QrvBlock* info_out,
                            QrvBlock* bits_out, ProgressCallback progress, QrvUser user);
}

#endif  // QRV_TESTS_IMAGE_IMAGE_EXPORTS_H
