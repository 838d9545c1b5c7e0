#pragma once
// Sets (or, with a null value, removes) an environment variable and restores it.

#include <cstdlib>
#include <optional>
#include <string>

namespace tarvio::test {

class TScopedEnv {
public:
    TScopedEnv(const char* Name, const char* Value) : FName(Name) {
        if (const char* old = std::getenv(Name)) FOld = old;
        if (Value)
            setenv(Name, Value, 1);
        else
            unsetenv(Name);
    }
    ~TScopedEnv() {
        if (FOld)
            setenv(FName.c_str(), FOld->c_str(), 1);
        else
            unsetenv(FName.c_str());
    }
    TScopedEnv(const TScopedEnv&) = delete;
    TScopedEnv& operator=(const TScopedEnv&) = delete;

private:
    std::string FName;
    std::optional<std::string> FOld;
};

} // namespace tarvio::test
