#pragma once

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>

namespace murel::cli
{

/** A one-line progress bar redrawn in place with carriage returns, for terminals:
    "clean.wav  [#########.........]  47%  1:23 / 2:56  eta 0:09". A disabled bar prints
    nothing, so callers need not check. */
class ProgressBar
{
public:
    /** width: columns of the terminal. */
    ProgressBar(std::ostream& stream, bool enabled, int width = 80);
    ~ProgressBar();

    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    /** total: frames to come, or -1 when unknown (the bar then shows the time done only). */
    void start(const std::string& label, std::int64_t total, double sampleRate);
    /** Redraws at most ten times a second. */
    void update(std::int64_t done);
    /** Erases the line. */
    void finish();

    /** The line for a state: exposed for tests. */
    std::string formatLine(std::int64_t done, double elapsedSeconds) const;

private:
    std::ostream& stream;
    bool enabled;
    int width;
    bool drawn = false;
    std::string label;
    std::int64_t total = -1;
    double sampleRate = 0.0;
    std::chrono::steady_clock::time_point startTime;
    std::chrono::steady_clock::time_point lastDraw;
};

/** Whether standard error is a terminal. */
bool isErrorStreamTerminal();

/** Columns of the terminal on standard error, 80 when it does not say. */
int getErrorStreamWidth();

} // namespace murel::cli
