#include "tools/qzp/host_path.h"

#include "platform/file.h"

bool ToDevicePath(const std::string& hostPath, std::u16string& devicePath, std::string& error) {
    platform::SetDeviceRoot("/");
    if (!platform::HostPathToDevice(hostPath, devicePath)) {
        error = "cannot use this path (a name with a backslash?)";
        return false;
    }
    return true;
}
