#include "bench/bench_support.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace kplbench {

std::string MachineRegistry(const TempDir& dir, const std::string& portPath, const std::string& more)
{
    return "Windows Registry Editor Version 5.00\r\n\r\n"
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KplHost]\r\n"
           "\"EventLogFile\"=\"" + dir.File("events.log") + "\"\r\n"
           "\"KeyJournal\"=\"" + dir.File("keys.journal") + "\"\r\n"
           "\"KeyOutput\"=\"journal\"\r\n"
           "\"RuntimeDir\"=\"" + dir.Path() + "\"\r\n\r\n"
           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KplHost\\Ports]\r\n"
           "\"COM3\"=\"" + portPath + "\"\r\n\r\n"
           "[HKEY_CURRENT_USER\\Control Panel\\Keyboard]\r\n"
           "\"KeyboardDelay\"=\"1\"\r\n\"KeyboardSpeed\"=\"31\"\r\n\r\n" + more;
}

bool Spread::Wide() const
{
    return median > 0 && (max - min) > 0.2 * median;
}

Spread SpreadOf(std::vector<double> runs)
{
    Spread spread;
    if (runs.empty())
        return spread;
    std::sort(runs.begin(), runs.end());
    const std::size_t n = runs.size();
    spread.min = runs.front();
    spread.max = runs.back();
    spread.median = n % 2 ? runs[n / 2] : (runs[n / 2 - 1] + runs[n / 2]) / 2;
    return spread;
}

namespace {

std::string Fixed(double value, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

}  // namespace

std::string Cells(const Spread& spread, int decimals)
{
    return Fixed(spread.min, decimals) + " / " + Fixed(spread.median, decimals) + " / " + Fixed(spread.max, decimals);
}

std::string Duration(double nanoseconds)
{
    if (nanoseconds > 10000)
        return Fixed(nanoseconds / 1000, 1) + " µs";
    return Fixed(nanoseconds, 0) + " ns";
}

std::string Durations(const Spread& spread)
{
    return Duration(spread.min) + " / " + Duration(spread.median) + " / " + Duration(spread.max);
}

void SpreadNotes::Check(const std::string& figure, const Spread& spread)
{
    if (spread.Wide())
        wide_.push_back(figure + " (" + Fixed(100 * (spread.max - spread.min) / spread.median, 0) + " %)");
}

std::string SpreadNotes::Text() const
{
    if (wide_.empty())
        return "";
    std::string text = "\n*Runs spread by more than 20 % of the median:";
    for (std::size_t i = 0; i < wide_.size(); ++i)
        text += (i == 0 ? " " : "; ") + wide_[i];
    return text + ". A change of that size between two reports may be noise.*\n";
}

void Progress(const char* format, ...)
{
    std::va_list arguments;
    va_start(arguments, format);
    std::fputs("   ", stderr);
    std::vfprintf(stderr, format, arguments);
    std::fputc('\n', stderr);
    va_end(arguments);
}

}  // namespace kplbench
