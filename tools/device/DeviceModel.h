#pragma once

#include <string>

// What a device can be: a phone or a tablet, on a system whose layout the pane has (7.x and 6.x).
namespace DeviceModel {

// "iPhone" or "iPad".
bool isModel(const std::string& model);
// "7", "7.1", "6.1.6": the pane lays out one way for system 7 and later, another way before it.
bool isSupportedVersion(const std::string& version);

} // namespace DeviceModel
