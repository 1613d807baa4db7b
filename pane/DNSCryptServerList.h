#pragma once

#include <map>
#include <string>
#include <vector>

// One resolver of the proxy's resolver list: field text by the header's column names, holding only the
// columns its line filled.
using DNSCryptServerRecord = std::map<std::string, std::string>;

// Reads the proxy's resolver list: a header line naming the columns, then one resolver a line, fields
// separated by commas, a field holding commas wrapped in double quotes (kept, quotes and all). Lines end
// in CR LF, or in LF when the text holds no CR LF. A header column name wrapped in one pair of double
// quotes is read without them. A UTF-8 byte-order mark at the start is not part of the text.
std::vector<DNSCryptServerRecord> ParseDNSCryptServerList(const std::string& list);
