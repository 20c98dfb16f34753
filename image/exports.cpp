// The exports of the image filter, ifqrvnel: what the host calls by name.
#include "plugin.h"

namespace {

constexpr const char* kInfoTable[] = {
    "00IN",
    "Quorvanel CG to DIB filter ver0.02",
    "*",
    "Quorvanel CG (*)",
    nullptr,
};

}  // namespace

QRV_EXPORT int32_t QRV_CALL GetPluginInfo(int32_t infono, char* buf, int32_t buflen) {
  return qrv::CopyInfoString(kInfoTable, infono, buf, buflen);
}
