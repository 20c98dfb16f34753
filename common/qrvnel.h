// The host-facing interface of the Quorvanel plug-ins: export signatures, result
// codes, the progress callback and the byte layout of every record handed to the
// host. Hosts and tests include this header only; it has no dependencies beyond
// <stdint.h>.
//
// Builds:
//   32-bit Windows  ifqrvnel.spi / axqrvnel.spi. Every export and the progress
//                   callback use __stdcall (callee pops). A block handle is an
//                   HLOCAL from LocalAlloc; the host frees it with LocalFree.
//   Linux           ifqrvnel.so / axqrvnel.so. No calling-convention keyword.
//                   Values that carry an address or a handle on Windows are
//                   pointer-sized here. A block handle is the address of heap
//                   memory (malloc); the host frees it with free(). No locking is
//                   needed: the handle is the block's address.
//
// Records keep the same packed little-endian layout on every build.
#ifndef QRVNEL_H
#define QRVNEL_H

#include <stdint.h>

#if defined(_WIN32)
#define QRV_CALL __stdcall
#else
#define QRV_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Result codes: the return value of every export but IsSupported (1 or 0) and
// GetPluginInfo (a length). Codes 3 and 7 are never returned.
enum {
  RC_OK = 0,
  RC_NOT_IMPLEMENTED = -1,
  RC_ABORTED = 1,
  RC_UNKNOWN_FORMAT = 2,
  RC_NO_MEMORY = 4,
  RC_MEMORY_ERROR = 5,
  RC_READ_ERROR = 6,
  RC_INTERNAL_ERROR = 8,
};

// Handle of a moveable block handed to the host (see the builds above).
typedef void* QrvBlock;

// The value a host passes through to its progress callback. 32 bits on 32-bit
// Windows, pointer-sized elsewhere so that a host can pass an address.
typedef intptr_t QrvUser;

// Called between steps of a long operation; a nonzero answer asks the plug-in to
// stop, and the export then returns RC_ABORTED.
typedef int32_t(QRV_CALL* ProgressCallback)(int32_t numerator, int32_t denominator,
                                             QrvUser user);

// Input kind: the low three bits of every source's flag.
enum {
  QRV_INPUT_FILE = 0,    // src names a file, len is the byte offset of the data
  QRV_INPUT_MEMORY = 1,  // src addresses the data, len is its length
  QRV_INPUT_MASK = 7,
};

enum {
  QRV_HEAD_SIZE = 2048,          // the detection head IsSupported is given
  QRV_IGNORE_CASE = 0x80,        // GetFileInfo: compare names ignoring case
  QRV_OUTPUT_MASK = 0x700,       // GetFile: nonzero asks for memory output
  QRV_OUTPUT_MEMORY = 0x100,
};

#pragma pack(push, 1)

// What GetPictureInfo fills in: 26 bytes.
typedef struct PictureInfo {
  int32_t left;
  int32_t top;
  int32_t width;
  int32_t height;
  uint16_t x_density;
  uint16_t y_density;
  int16_t colour_depth;
  uint32_t text_handle;  // always 0: the format carries no text information
} PictureInfo;

// The 40-byte bitmap header at the start of GetPicture's header block. An 8-bit
// picture's header block carries 256 colour-table entries of 4 bytes after it.
typedef struct QrvBitmapHeader {
  uint32_t size;
  int32_t width;
  int32_t height;  // positive: rows are stored bottom-up
  uint16_t planes;
  uint16_t bit_count;
  uint32_t compression;
  uint32_t image_size;
  int32_t x_pels_per_meter;
  int32_t y_pels_per_meter;
  uint32_t colours_used;
  uint32_t colours_important;
} QrvBitmapHeader;

// One archive entry as GetArchiveInfo lists it and GetFileInfo reports it:
// 428 bytes. A listing is an array of these ended by an all-zero record.
typedef struct FileInfo {
  char method[8];        // " " (a space and a zero)
  uint32_t position;     // offset of the entry's header from the archive's start
  uint32_t stored_size;  // the entry's data size
  uint32_t size;         // the entry's data size
  uint32_t timestamp;    // 0
  char path[200];        // empty
  char file_name[200];   // the entry's name, always zero-terminated
  uint32_t check;        // not written
} FileInfo;

#pragma pack(pop)

// Both plug-ins.
typedef int32_t(QRV_CALL* GetPluginInfoFn)(int32_t infono, char* buf, int32_t buflen);
typedef int32_t(QRV_CALL* IsSupportedFn)(char* filename, uintptr_t dw);

// The image filter, ifqrvnel.
typedef int32_t(QRV_CALL* GetPictureInfoFn)(char* src, int32_t len, uint32_t flag,
                                            PictureInfo* info);
typedef int32_t(QRV_CALL* GetPreviewFn)(char* src, int32_t len, uint32_t flag,
                                        QrvBlock* info_out, QrvBlock* bits_out,
                                        ProgressCallback progress, QrvUser user);
typedef int32_t(QRV_CALL* GetPictureFn)(char* src, int32_t len, uint32_t flag,
                                        QrvBlock* info_out, QrvBlock* bits_out,
                                        ProgressCallback progress, QrvUser user);

// The archive extractor, axqrvnel.
typedef int32_t(QRV_CALL* GetArchiveInfoFn)(char* src, int32_t len, uint32_t flag,
                                            QrvBlock* listing_out);
typedef int32_t(QRV_CALL* GetFileInfoFn)(char* src, int32_t len, char* name,
                                         uint32_t flag, FileInfo* info);
// dest: a directory path for file output, or the address of a QrvBlock for
// memory output (flag & QRV_OUTPUT_MASK nonzero).
typedef int32_t(QRV_CALL* GetFileFn)(char* src, int32_t len, char* dest, uint32_t flag,
                                     ProgressCallback progress, QrvUser user);

#ifdef __cplusplus
}  // extern "C"

static_assert(sizeof(PictureInfo) == 26, "PictureInfo is 26 packed bytes");
static_assert(sizeof(QrvBitmapHeader) == 40, "the bitmap header is 40 bytes");
static_assert(sizeof(FileInfo) == 428, "FileInfo is 428 packed bytes");
#endif

#endif  // QRVNEL_H
