#include "messages.h"

#include "qrvnel.h"

namespace qrv::host {

std::string ResultMessage(int32_t rc, Doing doing, const std::string& target) {
  const bool picture = doing == Doing::kPictureInfo || doing == Doing::kPicture;
  switch (rc) {
    case RC_ABORTED:
      return "interrupted";
    case RC_UNKNOWN_FORMAT:
      if (doing == Doing::kPicture) return "damaged Quorvanel CG picture data";
      if (doing == Doing::kExtract) return "damaged entry header for " + target;
      return picture ? "not a Quorvanel CG picture" : "not a Quorvanel Archive, or a damaged entry";
    case RC_READ_ERROR:
      // Every file was opened and its head read before the plug-in was called,
      // so a read error from here on means the data stops short.
      if (doing == Doing::kLookup) return "no entry named " + target;
      if (picture) return "picture ends early";
      return "archive ends early";
    case RC_NO_MEMORY:
      return "not enough memory";
    case RC_MEMORY_ERROR:
      return "cannot lock a memory block";
    case RC_INTERNAL_ERROR:
      if (doing == Doing::kExtract) return "cannot write " + target;
      return "the plug-in refused the request";
    case RC_NOT_IMPLEMENTED:
      return "the plug-in does not offer this operation";
    default:
      return "the plug-in answered with unknown result code " + std::to_string(rc);
  }
}

std::string ByteCount(uint64_t size) {
  return std::to_string(size) + (size == 1 ? " byte" : " bytes");
}

}  // namespace qrv::host
