#pragma once

#include <string>

// The identifier of the service that stands for a link: the same for a link of the same name on every
// start of every program, written as the phone's system writes a service's (8-4-4-4-12 upper-case hex).
std::string serviceIdentifierForLink(const std::string& linkName);
