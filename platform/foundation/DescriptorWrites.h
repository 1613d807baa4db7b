#pragma once

#include <string_view>
#include <sys/types.h>

// Writes all the bytes to an open descriptor, going on after short writes and interruptions. False
// when the descriptor refused some of them.
bool writeFully(int descriptor, std::string_view bytes);
// The same at an offset of a file, leaving the descriptor's own position alone.
bool writeFullyAt(int descriptor, std::string_view bytes, off_t offset);
