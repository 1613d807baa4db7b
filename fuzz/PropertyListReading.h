#pragma once

#include <string_view>

// What the device does with a property list it reads (the preferences, the dynamic store, a launch-daemon
// list): it parses the bytes, looks at the value, and may write it back as XML, as the daemon does with
// the proxy's launch-daemon list. Whatever the bytes, nothing may crash, and a value once read must
// survive being written: its XML reads back, and writes as the same XML again.
void readPropertyListAsTheDeviceDoes(std::string_view bytes);
