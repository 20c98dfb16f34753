// Plain-language messages for the plug-ins' result codes, worded for what the
// host was doing when the code came back.
#ifndef QRV_HOST_MESSAGES_H
#define QRV_HOST_MESSAGES_H

#include <cstdint>
#include <string>

namespace qrv::host {

// What the host asked for, so that one code reads right in each place.
enum class Doing { kPictureInfo, kPicture, kListing, kLookup, kExtract };

// The message for `rc` (never RC_OK); `target` names the output file or entry
// where the message needs one.
std::string ResultMessage(int32_t rc, Doing doing, const std::string& target = {});

// "1 byte", "2 bytes": a size as a person reads it.
std::string ByteCount(uint64_t size);

// Exit statuses of the program.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;      // some file could not be handled
constexpr int kExitUsage = 2;       // the command line is wrong
// Interrupted runs exit with 128 + the signal number (see interrupt.h).

}  // namespace qrv::host

#endif  // QRV_HOST_MESSAGES_H
