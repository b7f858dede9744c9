#pragma once

#include "core/group_list.h"

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
    // The groups of --group, read as the command-line tools read theirs (a
    // group or ADDR+N); the default group when it is not given.
    GroupList groups() const;

private:
    std::map<std::string, std::string> values_;
    std::string error_;
};
