#pragma once

#include <cstdlib>
#include <optional>
#include <string>

// Puts an environment variable back as it was (or unset) when it goes out of
// scope, for tests that set it.
class ScopedEnv {
public:
    explicit ScopedEnv(const char* name) : name_(name)
    {
        if (const char* value = std::getenv(name))
            before_ = value;
    }
    ~ScopedEnv()
    {
        if (before_)
            ::setenv(name_.c_str(), before_->c_str(), 1);
        else
            ::unsetenv(name_.c_str());
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> before_;
};
