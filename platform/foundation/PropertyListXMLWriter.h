#pragma once

#include "PropertyList.h"

#include <string>

// Text forms shared by the XML writer and the descriptions.
std::string propertyListRealText(double value);

// strftime layout of the date in UTC, at whole seconds.
std::string propertyListDateText(const PropertyListDate& date, const char* layout);
