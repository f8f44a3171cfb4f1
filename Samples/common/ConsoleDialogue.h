#pragma once

// Questions on the console, answered a whole line at a time, so that no answer leaves part of
// itself behind for the next question.

#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

namespace quelnor::samples {

// Without ' ', '\t', '\r' and '\n' at both ends.
std::string trimmed(std::string_view text);

// Reads answers from one input and writes prompts to one output; used by the thread that runs the
// dialogue only.
class ConsoleDialogue {
public:
    static constexpr std::string_view YES_NO_AGAIN = "Please answer y or n.\n";

    ConsoleDialogue(std::istream& in, std::ostream& out);

    // One line without its line end (nor a '\r' before it); a last line without a line end counts.
    // Nothing once the input has ended.
    std::optional<std::string> readLine();
    // The prompt (flushed), then readLine().
    std::optional<std::string> ask(std::string_view prompt);
    // Asks until the answer is "y", "yes", "n" or "no" in any case (blanks around it do not count):
    // true for yes. An empty line or any other answer asks again. Nothing when the input ends first.
    std::optional<bool> askYesNo(std::string_view prompt);

private:
    std::istream& in;
    std::ostream& out;
};

} // namespace quelnor::samples
