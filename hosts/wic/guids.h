// The identifiers this project made for its Windows Imaging Component codec
// and its Explorer thumbnail provider. They never change: programs and the
// registry name the classes by them.
#ifndef QRV_HOSTS_WIC_GUIDS_H
#define QRV_HOSTS_WIC_GUIDS_H

#include <windows.h>

namespace qrv::wic {

// The decoder's class.
constexpr GUID kDecoderClass = {0x094b471c, 0x64b9, 0x4d8d,
                                {0xb9, 0x2c, 0x3d, 0xcd, 0xf8, 0xf1, 0x7c, 0x64}};
// The thumbnail provider's class.
constexpr GUID kThumbnailClass = {0xd17b0206, 0x574a, 0x4275,
                                  {0x97, 0xb4, 0x78, 0xbd, 0xab, 0x69, 0xde, 0x66}};
// The container format the decoder reports (GetContainerFormat).
constexpr GUID kContainerFormat = {0xac204314, 0xbdef, 0x48c1,
                                   {0x88, 0xf0, 0x7b, 0x29, 0x3e, 0xb8, 0xa0, 0xf6}};
// The vendor the codec registers under.
constexpr GUID kVendor = {0xc66c9445, 0x5fb6, 0x4314,
                          {0xb0, 0x42, 0xc3, 0xf6, 0x90, 0xf1, 0x43, 0x40}};

}  // namespace qrv::wic

#endif  // QRV_HOSTS_WIC_GUIDS_H
