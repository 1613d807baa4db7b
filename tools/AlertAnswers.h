#pragma once

#include <ostream>
#include <string>
#include <string_view>

// The answers typed into springboard-host, one a line, each answering the oldest alert still shown:
//
//     TEXT<tab>BUTTON TITLE    types TEXT into the alert's first text field, then taps the button
//     BUTTON TITLE             taps the button (a line without a tab types nothing)
//
// A line may end in CR LF; empty lines are skipped. What cannot be done is said on `errors`, a line each.
class AlertAnswers {
public:
    explicit AlertAnswers(std::ostream& errorStream) : errors(errorStream) { }

    // Takes in bytes as they were read and answers every line they complete.
    void takeInput(std::string_view bytes);
    // Answers the oldest alert with one line, given without its line end.
    void answer(const std::string& line);

private:
    std::ostream& errors;
    std::string pending;
};
