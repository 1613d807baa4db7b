#pragma once

#include "PropertyList.h"

#include <optional>
#include <string>
#include <vector>

class TemporaryDevice;

// Which program plays the proxy: the recording double (its one log line, "dnscrypt-proxy: resolver NAME on
// ADDRESS", and nothing else), or the real proxy, which binds 127.0.0.1:53 and asks its resolver, so that
// a test using it runs in a LoopbackNamespace.
enum class ProxyProgram { RecordingDouble, Real };

// Puts the DNSCrypt proxy package on the device: its launch-daemon list at
// "/System/Library/LaunchDaemons/com.opendns.DNSCryptProxy.plist", the program at
// "/usr/sbin/dnscrypt-proxy" and the resolver list at "/usr/share/dnscrypt-proxy/dnscrypt-resolvers.csv".
void installDNSCryptProxy(const TemporaryDevice& device, ProxyProgram program = ProxyProgram::RecordingDouble);

inline constexpr const char* DNSCryptProxyListPath = "/System/Library/LaunchDaemons/com.opendns.DNSCryptProxy.plist";

// The dynamic store as another process of the device sees it.
std::optional<PropertyList> storeValue(const std::string& key);
void setStoreValue(const std::string& key, const PropertyList& value);
void removeStoreValue(const std::string& key);
PropertyListDictionary storeContents();

// A string preference as another process reads it from the preferences file; null when the file, the
// key or a string value is missing.
std::optional<std::string> storedPreference(const std::string& key);

// A DNS dictionary: "ServerAddresses" and, when not empty, "DomainName".
PropertyList dnsDictionary(const std::vector<std::string>& serverAddresses, const std::string& domainName = "");

// A network service: its IPv4 state naming the interface, and, when given, its DNS state and setup.
void seedService(const std::string& serviceID, const std::string& interfaceName,
                 const std::optional<PropertyList>& dnsState, const std::optional<PropertyList>& dnsSetup);

// The device's process ids of the proxy that are alive now.
std::vector<int> runningProxyProcesses(const TemporaryDevice& device);
