// A fuzzer's own assertion: the crash it reports with the input that broke it.
#pragma once

inline void Check(bool condition)
{
    if (!condition)
        __builtin_trap();
}
