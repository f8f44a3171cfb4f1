// Whole-line answers of the console tools.
#include <gtest/gtest.h>

#include <optional>
#include <sstream>
#include <string>

#include "ConsoleDialogue.h"

using namespace quelnor::samples;

TEST(ConsoleDialogue, YesOrNoInAnyCaseAndEverythingElseAsksAgainUntilTheInputEnds) {
    struct Case {
        std::string input;
        std::optional<bool> answer;
        size_t asked;        // prompts printed
        std::string leftOver; // what the next question reads
    };
    const Case cases[] = {
        {"y\n", true, 1, ""},
        {"YES\nnext\n", true, 1, "next"}, // nothing of the answer is left for the next question
        {"  Yes \r\n", true, 1, ""},
        {"n\n", false, 1, ""},
        {"No\n", false, 1, ""},
        {"\nY\n", true, 2, ""},
        {"maybe\nyess\nye\nN\n", false, 4, ""},
        {"yes", true, 1, ""}, // a last line without its line end
        {"", std::nullopt, 1, ""},
        {"\n", std::nullopt, 2, ""},
        {"x\n\n", std::nullopt, 3, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.input));
        std::istringstream in(c.input);
        std::ostringstream out;
        ConsoleDialogue dialogue(in, out);
        EXPECT_EQ(dialogue.askYesNo("Go? (y/n): "), c.answer);
        std::string expected;
        for (size_t i = 0; i < c.asked; ++i) {
            expected += (i > 0 ? std::string(ConsoleDialogue::YES_NO_AGAIN) : "") + "Go? (y/n): ";
        }
        EXPECT_EQ(out.str(), expected);
        const std::optional<std::string> next = dialogue.readLine();
        EXPECT_EQ(next.value_or(""), c.leftOver);
    }
}

TEST(ConsoleDialogue, LinesComeWithoutTheirEnds) {
    std::istringstream in("one\r\n\ntwo  \nlast");
    std::ostringstream out;
    ConsoleDialogue dialogue(in, out);
    EXPECT_EQ(dialogue.ask("> "), "one");
    EXPECT_EQ(dialogue.readLine(), "");
    EXPECT_EQ(dialogue.readLine(), "two  ");
    EXPECT_EQ(dialogue.readLine(), "last");
    EXPECT_EQ(dialogue.readLine(), std::nullopt);
    EXPECT_EQ(out.str(), "> ");
    EXPECT_EQ(trimmed(" \t x y \r\n"), "x y");
    EXPECT_EQ(trimmed(" \t\r\n"), "");
}
