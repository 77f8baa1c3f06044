// What a Windows device-interface path tells about its device, for the
// hot-plug events and the HID enumeration.
#pragma once

#include <string>

#include "platform/DeviceMonitor.h"
#include "platform/HidApi.h"

namespace orvex {

// Vendor, product and bus from a device-interface path, in any letter case:
//   \\?\HID#VID_1D57&PID_FA60&MI_01&COL02#7&2b1c...&0&0001#{4d1e55b2-...}  USB
//   \\?\HID#{00001124-0000-1000-8000-00805f9b34fb}_VID&0002045e_PID&0b13#...  Bluetooth
//   \\?\BTHLEDevice#{...}_Dev_VID&02045e_PID&0b13_REV&0001_aabbccddeeff#...  Bluetooth LE
// "VID&02" is a Bluetooth vendor id from the USB list; "VID&01" one from the
// Bluetooth SIG's list. Fields not found stay 0.
DeviceChange ParseInterfacePath(const std::string& path, DeviceChange::Kind kind);

// The key shared by the collections of one device: the fifth field of the
// path split at "&" (runs of "&" count as one, leading ones are skipped), as
// in "...&MI_01&COL02#7&2b1c3d4&0&0001#..." -> "2b1c3d4", the instance part that
// every collection of the device carries. Empty when the path has fewer fields.
std::string PathToken(const std::string& path);

// Whether two device-interface paths name one interface. Windows treats them
// without regard to letter case, and gives them so: SetupAPI lists
// "\\?\hid#vid_1d57&pid_fa60...", the removal of the same collection names
// "\\?\HID#VID_1D57&PID_FA60...", with the class GUID in either case.
bool SameInterfacePath(const std::string& a, const std::string& b);

// UTF-16 to UTF-8 and back, for paths and names.
std::string Narrow(const std::wstring& text);
std::wstring Widen(const std::string& text);

}  // namespace orvex
