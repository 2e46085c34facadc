#include "tests/support/test_support.h"

#include <cstdlib>

namespace kpltest {

ScopedEnv::ScopedEnv(const std::string& name, const std::string& value) : name_(name)
{
    if (const char* old = std::getenv(name.c_str()))
        old_ = old;
    _putenv_s(name.c_str(), value.c_str());
}

ScopedEnv::~ScopedEnv()
{
    _putenv_s(name_.c_str(), old_ ? old_->c_str() : "");
}

}  // namespace kpltest
