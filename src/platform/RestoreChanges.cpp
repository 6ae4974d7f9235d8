#include "RestoreChanges.h"

namespace vigilorn {

namespace {

std::string quoted(const std::string& word) {
    if (!word.empty() &&
        word.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
                               "_-+=.,/:@%^") == std::string::npos)
        return word;
    std::string out = "'";
    for (const char c : word) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

} // namespace

std::string commandLine(const Command& command) {
    std::string line = quoted(command.program);
    for (const auto& a : command.arguments)
        line += " " + quoted(a);
    return line;
}

} // namespace vigilorn
