#pragma once

#include <string>

// What may become a line of /etc/resolv.conf. A value from the dynamic store or the preferences that
// is no address or no DNS name would let anyone who writes one add lines of their own (a line feed
// and "nameserver ..."), so it is left out.

// An IPv4 address in dotted decimal or an IPv6 address, as inet_pton reads them.
bool isServerAddress(const std::string& text);

// A DNS name: dot-separated labels of 1 to 63 letters, digits, hyphens or underscores, 253 bytes at
// most, with one trailing dot allowed.
bool isDomainName(const std::string& text);

// The text for a log line: quoted, with control characters, quotes, backslashes and bytes above 0x7E
// as escapes, so that a value can never start a line of its own.
std::string quotedForLog(const std::string& text);
