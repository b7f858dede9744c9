#include "bench/bench_args.h"

#include "core/settings.h"

#include <cstdlib>

bool BenchArgs::parse(int argc, char** argv)
{
    for (int i = 1; i < argc; i += 2) {
        const std::string name = argv[i];
        if (name.size() < 3 || name.compare(0, 2, "--") != 0 || i + 1 >= argc) {
            error_ = "expected --name value at '" + name + "'";
            return false;
        }
        values_[name.substr(2)] = argv[i + 1];
    }
    return true;
}

std::string BenchArgs::text(const std::string& name, const std::string& fallback) const
{
    const auto it = values_.find(name);
    return it == values_.end() ? fallback : it->second;
}

double BenchArgs::number(const std::string& name, double fallback) const
{
    const auto it = values_.find(name);
    if (it == values_.end())
        return fallback;
    char* end = nullptr;
    const double value = std::strtod(it->second.c_str(), &end);
    return end != it->second.c_str() ? value : fallback;
}

GroupList BenchArgs::groups() const
{
    return parseGroupList({text("group", std::string(RunDefaults::kGroup))}, kMaxGroups);
}
