#pragma once

#include <string_view>

// The names and keys that cross between netwardd, TarvikDNS.bundle and TarvikDNS.dylib. Everything
// else the three deliverables write is a literal where it is used.

// Darwin notifications: "com.tarvik.dns/" followed by the event word, compared exactly.
#define TDNS_NOTIFICATION(event) "com.tarvik.dns/" event

inline constexpr const char* kNotificationPreferencesChanged = TDNS_NOTIFICATION("PreferencesChanged");
inline constexpr const char* kNotificationDNSChanged = TDNS_NOTIFICATION("DNSChanged");
inline constexpr const char* kNotificationSupportEmailRequest = TDNS_NOTIFICATION("SupportEmailRequest");
inline constexpr const char* kNotificationSupportEmail = TDNS_NOTIFICATION("SupportEmail");
inline constexpr const char* kNotificationShowPasslockView = TDNS_NOTIFICATION("ShowPasslockView");
inline constexpr const char* kNotificationShowPasslockCreateView = TDNS_NOTIFICATION("ShowPasslockCreateView");
inline constexpr const char* kNotificationShowPasslockRemoveView = TDNS_NOTIFICATION("ShowPasslockRemoveView");
inline constexpr const char* kNotificationPasslockOK = TDNS_NOTIFICATION("PasslockOK");
inline constexpr const char* kNotificationPasslockNOK = TDNS_NOTIFICATION("PasslockNOK");
inline constexpr const char* kNotificationPasslockCancel = TDNS_NOTIFICATION("PasslockCancel");
inline constexpr const char* kNotificationPasslockRemoveNOK = TDNS_NOTIFICATION("PasslockRemoveNOK");
inline constexpr const char* kNotificationSBStart = TDNS_NOTIFICATION("SBStart");
inline constexpr const char* kNotificationSBStop = TDNS_NOTIFICATION("SBStop");
inline constexpr const char* kNotificationSBStartOK = TDNS_NOTIFICATION("SBStartOK");
inline constexpr const char* kNotificationSBStopOK = TDNS_NOTIFICATION("SBStopOK");

#undef TDNS_NOTIFICATION

// The preferences file, one XML property-list dictionary of string values.
inline constexpr const char* kPreferencesPath = "/var/mobile/Library/Preferences/com.tarvik.dns.plist";

// Every writer gives the file these permissions: it may hold the Passlock, so only its owner (the
// account "mobile", which the pane and SpringBoard run as) and root may read it.
inline constexpr unsigned kPreferencesPermissions = 0600;

// What the daemon and the pane write when they create the file: the empty property list, 187 bytes
// in six lines without a line feed after the last.
inline constexpr const char* kPreferencesInitialText =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n"
    "<dict>\n"
    "</dict>\n"
    "</plist>";
static_assert(std::string_view(kPreferencesInitialText).size() == 187);

inline constexpr const char* kPrefSelectedConnectivity = "SelectedConnectivity";
inline constexpr const char* kPrefRequestedConnectivity = "RequestedConnectivity";
inline constexpr const char* kPrefSBSelectedConnectivity = "SBSelectedConnectivity";
inline constexpr const char* kPrefDomain = "Domain";
inline constexpr const char* kPrefPrimaryDNS = "PrimaryDNS";
inline constexpr const char* kPrefSecondaryDNS = "SecondaryDNS";
inline constexpr const char* kPrefDNSCrypt = "DNSCrypt";
inline constexpr const char* kPrefDNSCryptServer = "DNSCryptServer";
inline constexpr const char* kPrefPasslock = "Passlock";
inline constexpr const char* kPrefScutilDNS = "scutil_dns";
