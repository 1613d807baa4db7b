#pragma once

#include "DnsMessage.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>

// Records and types as a person reads them, in the zone-file layout dig prints.
class DnsRecordText {
public:
    // "A", "AAAA", "TXT", ... for the types of DnsType, "TYPE99" for others.
    static std::string typeName(std::uint16_t type);
    // The type a name stands for, in any letter case ("aaaa", "TYPE99"); null for an unknown name.
    static std::optional<std::uint16_t> typeNamed(const std::string& name);
    // "NOERROR", "SERVFAIL", ... ; "RCODE12" for others.
    static std::string rcodeName(int rcode);
    // One record: "example.org. 300 IN A 192.0.2.1"; data of an unknown type as RFC 3597's "\# 4 c0000201".
    static std::string record(std::span<const std::uint8_t> message, const DnsRecord& record);
};
