#include "DeviceModel.h"

#include <regex>

namespace DeviceModel {

bool isModel(const std::string& model)
{
    return model == "iPhone" || model == "iPad";
}

bool isSupportedVersion(const std::string& version)
{
    static const std::regex supported("[67](\\.[0-9]+){0,2}");
    return std::regex_match(version, supported);
}

} // namespace DeviceModel
