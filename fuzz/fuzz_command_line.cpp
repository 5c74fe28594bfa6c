// The start-up argument splitting: never crashes, and its words are the command line with the
// quotes and the separators outside quotes taken out, cut at those separators.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/command_line.h"
#include "fuzz/fuzz_input.h"

namespace {

bool IsSeparator(char c) {
    return static_cast<unsigned char>(c) <= ' ';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string> words = app::SplitArguments(line);

    // What the words are made of: every character but the quotes and the separators met outside
    // quotes, in order. A separator inside quotes is kept.
    std::string kept;
    bool quoted = false;
    bool separatorInQuotes = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
        } else if (!IsSeparator(c) || quoted) {
            kept += c;
            separatorInQuotes = separatorInQuotes || IsSeparator(c);
        }
    }
    std::string joined;
    for (const std::string& w : words) {
        FUZZ_CHECK(!w.empty());
        FUZZ_CHECK(w.find('"') == std::string::npos);
        if (!separatorInQuotes) {
            for (char c : w) FUZZ_CHECK(!IsSeparator(c));
        }
        joined += w;
    }
    FUZZ_CHECK(joined == kept);

    // The first argument is the second word; words after it do not change it.
    const std::optional<std::string> first = app::FirstArgument(line);
    FUZZ_CHECK(first.has_value() == (words.size() >= 2));
    if (first) FUZZ_CHECK(*first == words[1]);
    if (!quoted && words.size() >= 2) {
        std::string longer(line);
        longer += " more \"args here\" CHECKFW";
        FUZZ_CHECK(app::FirstArgument(longer) == first);
    }
    // A line without quotes splits exactly where its separators are.
    if (line.find('"') == std::string_view::npos) {
        std::vector<std::string> expected;
        std::string word;
        for (char c : line) {
            if (IsSeparator(c)) {
                if (!word.empty()) expected.push_back(word);
                word.clear();
            } else {
                word += c;
            }
        }
        if (!word.empty()) expected.push_back(word);
        FUZZ_CHECK(words == expected);
    }
    return 0;
}
