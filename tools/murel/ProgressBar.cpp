#include "ProgressBar.h"

#include <algorithm>
#include <cstdio>
#include <sys/ioctl.h>
#include <unistd.h>

namespace murel::cli
{

namespace
{

std::string formatClock(double seconds)
{
    const auto total = static_cast<long>(std::max(seconds, 0.0) + 0.5);
    char text[32];
    if (total >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, (total / 60) % 60, total % 60);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
    return text;
}

} // namespace

ProgressBar::ProgressBar(std::ostream& output, bool isEnabled, int columns)
    : stream(output), enabled(isEnabled), width(std::max(columns, 40))
{
}

ProgressBar::~ProgressBar()
{
    finish();
}

void ProgressBar::start(const std::string& text, std::int64_t numOfFrames, double rate)
{
    label = text;
    total = numOfFrames;
    sampleRate = rate;
    startTime = std::chrono::steady_clock::now();
    lastDraw = startTime - std::chrono::seconds(1);
}

void ProgressBar::update(std::int64_t done)
{
    if (!enabled)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (now - lastDraw < std::chrono::milliseconds(100))
        return;
    lastDraw = now;
    const std::string line = formatLine(done, std::chrono::duration<double>(now - startTime).count());
    stream << '\r' << line << std::flush;
    drawn = true;
}

void ProgressBar::finish()
{
    if (!drawn)
        return;
    stream << '\r' << std::string(std::size_t(width - 1), ' ') << '\r' << std::flush;
    drawn = false;
}

std::string ProgressBar::formatLine(std::int64_t done, double elapsedSeconds) const
{
    const double rate = sampleRate > 0.0 ? sampleRate : 1.0;
    const double doneSeconds = static_cast<double>(done) / rate;
    std::string status;
    double fraction = 0.0;
    if (total > 0)
    {
        fraction = std::clamp(static_cast<double>(done) / static_cast<double>(total), 0.0, 1.0);
        char percent[16];
        std::snprintf(percent, sizeof percent, "%3d%%", static_cast<int>(fraction * 100.0));
        status = std::string(percent) + "  " + formatClock(doneSeconds) + " / " +
                 formatClock(static_cast<double>(total) / rate);
        // The estimate waits for a steady rate; its place is kept so that the bar does not jump.
        status += "  eta " + (fraction > 0.0 && elapsedSeconds > 0.5
                                  ? formatClock(elapsedSeconds / fraction - elapsedSeconds)
                                  : std::string(formatClock(static_cast<double>(total) / rate).size(), '-'));
    }
    else
    {
        status = formatClock(doneSeconds);
    }
    // Label, bar and status share the line; the bar takes what is left, at least 10 columns.
    const int available = width - 1;
    std::string name = label;
    const int barWidth = std::max(10, available - static_cast<int>(name.size() + status.size()) - 6);
    const int maxNameSize = std::max(0, available - barWidth - static_cast<int>(status.size()) - 6);
    if (static_cast<int>(name.size()) > maxNameSize)
        name = maxNameSize > 3 ? "..." + name.substr(name.size() - std::size_t(maxNameSize - 3)) : "";
    std::string bar(std::size_t(barWidth), '.');
    if (total > 0)
        std::fill_n(bar.begin(), static_cast<std::ptrdiff_t>(fraction * barWidth), '#');
    std::string line = name + (name.empty() ? "" : "  ") + "[" + bar + "]  " + status;
    if (static_cast<int>(line.size()) > available)
        line.resize(std::size_t(available));
    return line;
}

bool isErrorStreamTerminal()
{
    return ::isatty(STDERR_FILENO) != 0;
}

int getErrorStreamWidth()
{
    winsize size = {};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}

} // namespace murel::cli
