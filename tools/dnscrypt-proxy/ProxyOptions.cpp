#include "ProxyOptions.h"

#include <charconv>
#include <functional>
#include <map>

namespace {

using ValueSetter = std::function<bool(ProxyOptions&, const std::string&)>;

bool setText(std::string ProxyOptions::*field, ProxyOptions& options, const std::string& value)
{
    if (value.empty())
        return false;
    options.*field = value;
    return true;
}

bool setMinutes(ProxyOptions& options, const std::string& value)
{
    unsigned minutes = 0;
    auto [end, problem] = std::from_chars(value.data(), value.data() + value.size(), minutes);
    if (problem != std::errc() || end != value.data() + value.size())
        return false;
    options.testMinutes = minutes;
    return true;
}

const std::map<std::string, ValueSetter>& valueOptions()
{
    using namespace std::placeholders;
    static const std::map<std::string, ValueSetter> options {
        { "resolver-name", std::bind(setText, &ProxyOptions::resolverName, _1, _2) },
        { "resolvers-list", std::bind(setText, &ProxyOptions::resolversList, _1, _2) },
        { "local-address", std::bind(setText, &ProxyOptions::localAddress, _1, _2) },
        { "logfile", std::bind(setText, &ProxyOptions::logFile, _1, _2) },
        { "user", std::bind(setText, &ProxyOptions::user, _1, _2) },
        { "resolver-address", std::bind(setText, &ProxyOptions::resolverAddress, _1, _2) },
        { "provider-name", std::bind(setText, &ProxyOptions::providerName, _1, _2) },
        { "provider-key", std::bind(setText, &ProxyOptions::providerKey, _1, _2) },
        { "test", setMinutes },
    };
    return options;
}

const std::map<std::string, bool ProxyOptions::*>& flagOptions()
{
    static const std::map<std::string, bool ProxyOptions::*> flags {
        { "tcp-only", &ProxyOptions::tcpOnly },
        { "ephemeral-keys", &ProxyOptions::ephemeralKeys },
        { "ignore-timestamps", &ProxyOptions::ignoreTimestamps },
        { "help", &ProxyOptions::helpRequested },
    };
    return flags;
}

bool parseOne(ProxyOptions& options, const std::string& argument, std::string& error)
{
    if (!argument.starts_with("--")) {
        error = "unexpected argument \"" + argument + "\"";
        return false;
    }
    auto equals = argument.find('=');
    std::string name = argument.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
    if (auto flag = flagOptions().find(name); flag != flagOptions().end()) {
        if (equals != std::string::npos) {
            error = "option --" + name + " takes no value";
            return false;
        }
        options.*(flag->second) = true;
        return true;
    }
    auto option = valueOptions().find(name);
    if (option == valueOptions().end()) {
        error = "unknown option \"" + argument + "\"";
        return false;
    }
    if (equals == std::string::npos || !option->second(options, argument.substr(equals + 1))) {
        error = "option --" + name + " needs a " + (name == "test" ? "number of minutes" : "value") + " (--" + name + "=...)";
        return false;
    }
    return true;
}

bool resolverIsChosen(const ProxyOptions& options, std::string& error)
{
    bool direct = !options.resolverAddress.empty() || !options.providerName.empty() || !options.providerKey.empty();
    if (direct) {
        if (options.resolverAddress.empty() || options.providerName.empty() || options.providerKey.empty()) {
            error = "a resolver given directly needs --resolver-address, --provider-name and --provider-key";
            return false;
        }
        return true;
    }
    if (options.resolverName.empty()) {
        error = "no resolver chosen: give --resolver-name=NAME, or --resolver-address, --provider-name and --provider-key";
        return false;
    }
    return true;
}

} // namespace

std::optional<ProxyOptions> ProxyOptions::parse(const std::vector<std::string>& arguments, std::string& error)
{
    ProxyOptions options;
    for (const auto& argument : arguments) {
        if (!parseOne(options, argument, error))
            return std::nullopt;
    }
    if (options.helpRequested)
        return options;
    if (!resolverIsChosen(options, error))
        return std::nullopt;
    return options;
}

const char* ProxyOptions::usage()
{
    return "usage: dnscrypt-proxy --resolver-name=NAME [--resolvers-list=PATH]\n"
           "       dnscrypt-proxy --resolver-address=ADDRESS[:PORT] --provider-name=NAME --provider-key=KEY\n"
           "options: --local-address=ADDRESS[:PORT] (127.0.0.1:53)  --logfile=PATH  --user=ACCOUNT\n"
           "         --tcp-only  --ephemeral-keys  --ignore-timestamps  --test=MINUTES  --help\n";
}
