// A command line typed into the device program's console, read as the console reads it before it runs
// a command: the line's text, its words, and the text after each word that commands take as their
// argument ("row", "type", "echo").
#include "DeviceCommands.h"
#include "FuzzCheck.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    auto line = DeviceCommands::parse(input);
    if (!line)
        return 0;
    fuzzCheck(!line->text.empty() && line->text.front() != '#', "blank lines and comments are no command");
    fuzzCheck(!line->words.empty(), "a command line has a first word");
    fuzzCheck(input.find(line->text) != std::string::npos, "the text is the line's own");
    // As "row" and "echo" (after one word) and "type" (after two) take their text, and past the last word.
    for (std::size_t count : { std::size_t { 1 }, std::size_t { 2 }, line->words.size() }) {
        std::string rest = DeviceCommands::textAfterWords(line->text, count);
        fuzzCheck(rest.size() <= line->text.size(), "the text after words is part of the line");
    }
    fuzzCheck(DeviceCommands::textAfterWords(line->text, line->words.size()).empty(), "nothing is left after the last word");
    return 0;
}
