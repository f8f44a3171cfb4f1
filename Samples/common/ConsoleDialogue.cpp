#include "ConsoleDialogue.h"

#include <cctype>
#include <istream>
#include <ostream>

namespace quelnor::samples {

namespace {

constexpr std::string_view BLANKS = " \t\r\n";

std::string lowerCase(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

} // namespace

std::string trimmed(std::string_view text) {
    const size_t first = text.find_first_not_of(BLANKS);
    if (first == std::string_view::npos) {
        return "";
    }
    const size_t last = text.find_last_not_of(BLANKS);
    return std::string(text.substr(first, last - first + 1));
}

ConsoleDialogue::ConsoleDialogue(std::istream& input, std::ostream& output) : in(input), out(output) {}

std::optional<std::string> ConsoleDialogue::readLine() {
    std::string line;
    if (!std::getline(in, line)) {
        return std::nullopt;
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return line;
}

std::optional<std::string> ConsoleDialogue::ask(std::string_view prompt) {
    out << prompt;
    out.flush();
    return readLine();
}

std::optional<bool> ConsoleDialogue::askYesNo(std::string_view prompt) {
    for (;;) {
        const std::optional<std::string> line = ask(prompt);
        if (!line) {
            return std::nullopt;
        }
        const std::string answer = lowerCase(trimmed(*line));
        if (answer == "y" || answer == "yes") {
            return true;
        }
        if (answer == "n" || answer == "no") {
            return false;
        }
        out << YES_NO_AGAIN;
    }
}

} // namespace quelnor::samples
