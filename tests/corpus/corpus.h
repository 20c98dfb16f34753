// The malformed-input corpus suite: every file of tests/corpus run through
// every export of its plug-in, from memory and from a file, with the answers
// compared with expected.txt. The same cases run in three programs: two link
// a plug-in's format code directly on the accounting test backend (and so also
// check that nothing is left open, locked or allocated), one loads both built
// libraries as a host does (and so runs under Wine on the Windows builds).
// Each program supplies the exports and the after-call checks below.
#ifndef QRV_TESTS_CORPUS_CORPUS_H
#define QRV_TESTS_CORPUS_CORPUS_H

#include <string>

#include "qrvnel.h"

namespace qrv::corpus {

struct Exports {
  IsSupportedFn isSupported = nullptr;
  GetPictureInfoFn getPictureInfo = nullptr;
  GetPictureFn getPicture = nullptr;
  GetArchiveInfoFn getArchiveInfo = nullptr;
  GetFileInfoFn getFileInfo = nullptr;
  GetFileFn getFile = nullptr;
};

// The exports of the plug-in for `kind` ("image" or "archive"), or null when
// this program does not carry that plug-in. A failure to load is reported
// through GoogleTest.
const Exports* ExportsFor(const std::string& kind);

// Called after every export call, with `handedOver` the number of blocks the
// call handed to the host (still to be freed through FreeBlock).
void CheckAfterCall(int handedOver);

// The host frees a block it was handed.
void FreeBlock(QrvBlock block);

}  // namespace qrv::corpus

#endif  // QRV_TESTS_CORPUS_CORPUS_H
