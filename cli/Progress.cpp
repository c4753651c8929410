#include "Progress.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <utility>

namespace Cli {

namespace {

using Clock = std::chrono::steady_clock;

// Bytes the process has read so far, from /proc/self/io; 0 where it cannot be told.
uint64_t BytesRead() {
    std::ifstream io("/proc/self/io");
    std::string key;
    uint64_t value = 0;
    while (io >> key >> value) {
        if (key == "rchar:")
            return value;
    }
    return 0;
}

std::string Mebibytes(double bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", bytes / (1024.0 * 1024.0));
    return text;
}

}  // namespace

Progress::Progress(int mode, std::string what, uint64_t total)
    : m_what(std::move(what)), m_total(total) {
    if (mode == 0 || (mode < 0 && isatty(STDERR_FILENO) == 0))
        return;
    m_base = BytesRead();
    m_thread = std::thread([this] { Loop(); });
}

void Progress::SetTotal(uint64_t total) {
    m_base = BytesRead();
    m_total = total;
}

Progress::~Progress() {
    if (!m_thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_one();
    m_thread.join();
}

void Progress::Loop() {
    const Clock::time_point start = Clock::now();
    std::unique_lock<std::mutex> lock(m_mutex);
    // The first line waits a second: short work draws none.
    Clock::time_point next = start + std::chrono::seconds(1);
    while (!m_wake.wait_until(lock, next, [this] { return m_stop; })) {
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        Draw(BytesRead() - m_base, seconds);
        next = Clock::now() + std::chrono::milliseconds(250);
    }
    if (m_shown) {
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        Draw(m_total > 0 ? m_total.load() : BytesRead() - m_base, seconds);
        std::fputc('\n', stderr);
    }
}

void Progress::Draw(uint64_t done, double seconds) {
    const uint64_t total = m_total;
    if (total > 0 && done > total)
        done = total;
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    std::string of;
    if (total > 0)
        of = " of " + Mebibytes(static_cast<double>(total)) + " (" +
             std::to_string(done * 100 / total) + "%)";
    std::fprintf(stderr, "\r%s: %s%s, %s/s   ", m_what.c_str(),
                 Mebibytes(static_cast<double>(done)).c_str(), of.c_str(),
                 Mebibytes(rate).c_str());
    std::fflush(stderr);
    m_shown = true;
}

}  // namespace Cli
