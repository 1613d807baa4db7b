#pragma once

#include <string>

// What is in effect on the current device, on one screen: the selected and the saved connectivity,
// whether a Passlock is set (never the password), DNSCrypt with its resolver and whether the proxy
// runs; then, for each network service and for the global DNS, whether the override is on it, the DNS
// servers and domain in effect and the system's own values kept aside by the override; then
// "/etc/resolv.conf". Read as any other process of the device would read it, changing nothing, so it
// can be shown while netwardd or another device program runs there.
std::string StatusText();
