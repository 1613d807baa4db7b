#pragma once

#include "SCDynamicStore.h"

#include <istream>
#include <ostream>
#include <string>

// scutil --set KEY: reads the whole input, a property-list dictionary, and stores it under the key. The
// exit status: 0 once stored; 1, with a line on `errors`, when the input holds no dictionary or the
// store does not take it.
int scutilSet(SCDynamicStoreRef store, const std::string& key, std::istream& input, std::ostream& errors);
