// The exports of the archive extractor, axqrvnel: what the host calls by name.
#include "plugin.h"

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
