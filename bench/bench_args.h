#pragma once

#include <map>
#include <string>

// "--name value" pairs from a bench program's command line.
class BenchArgs {
public:
    // False, with error() set, for a word that is not "--name" followed by a value.
    bool parse(int argc, char** argv);
    const std::string& error() const { return error_; }

    std::string text(const std::string& name, const std::string& fallback = "") const;
    double number(const std::string& name, double fallback) const;
    bool has(const std::string& name) const { return values_.count(name) != 0; }

private:
    std::map<std::string, std::string> values_;
    std::string error_;
};
