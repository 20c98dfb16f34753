// The exports of the archive extractor, declared for the code that links them
// directly (the tests); a host finds them by name in the built library.
#ifndef QRV_ARCHIVE_EXPORTS_H
#define QRV_ARCHIVE_EXPORTS_H

#include "plugin.h"

QRV_EXPORT int32_t QRV_CALL IsSupported(char* filename, uintptr_t dw);
QRV_EXPORT int32_t QRV_CALL GetArchiveInfo(char* src, int32_t len, uint32_t flag,
                                           QrvBlock* listing_out);
QRV_EXPORT int32_t QRV_CALL GetFileInfo(char* src, int32_t len, char* name, uint32_t flag,
                                        FileInfo* info);
QRV_EXPORT int32_t QRV_CALL GetFile(char* src, int32_t len, char* dest, uint32_t flag,
                                    ProgressCallback progress, QrvUser user);

#endif  // QRV_ARCHIVE_EXPORTS_H
