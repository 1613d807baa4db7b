#pragma once

#include <string>

// On a machine the bridge and netwardd act as root on the whole machine's DNS, steered by the device's
// dynamic store, preferences and notifications. Whoever can write those files, or a folder above them,
// steers the machine's DNS too, so they must belong to this process's account or root alone.
class RootOnlyDevice {
public:
    // Empty when no other account can write them; otherwise what can be written, and by whom
    // ("/srv/device/var/run/configd is writable by the account alice").
    static std::string foreignWritable();

private:
    static std::string foreignWriter(const std::string& machinePath, bool stickyFolderAllowed);
};
