#include "Progress.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <utility>

namespace Cli {

namespace {

using Clock = std::chrono::steady_clock;

// Bytes received from the network, told by the program.
std::atomic<uint64_t> g_received{0};

// Bytes the process has read so far, from /proc/self/io (0 where it cannot be
// told), and those received.
uint64_t BytesRead() {
    std::ifstream io("/proc/self/io");
    std::string key;
    uint64_t value = 0;
    while (io >> key >> value) {
        if (key == "rchar:")
            return value + g_received;
    }
    return g_received;
}

std::string Mebibytes(double bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", bytes / (1024.0 * 1024.0));
    return text;
}

// The line being drawn, and whether other output has begun; the process draws one
// line at a time and stops for good once anything else is printed.
std::mutex g_activeMutex;
Progress* g_active = nullptr;
bool g_cleared = false;

// While a line is drawn, stdout and stderr are unbuffered streams that end the line
// before they pass on what the work prints (its results and messages, wherever they
// are printed); the line itself is drawn on the stream stderr was.
FILE* g_out = nullptr;
FILE* g_err = nullptr;

ssize_t PassOn(void* cookie, const char* data, size_t size) {
    Progress::Clear();
    FILE* to = static_cast<FILE*>(cookie);
    const size_t written = std::fwrite(data, 1, size, to);
    std::fflush(to);
    return written == size ? static_cast<ssize_t>(size) : -1;
}

// The guard of `stream`, made once and kept: a write to it may be what ends the line,
// and so what puts the stream itself back, while the guard is still writing.
FILE* Guarded(FILE* stream) {
    cookie_io_functions_t io = {};
    io.write = PassOn;
    FILE* guard = fopencookie(stream, "w", io);
    if (guard != nullptr)
        std::setvbuf(guard, nullptr, _IONBF, 0);
    return guard != nullptr ? guard : stream;
}

void Guard() {
    static FILE* const out = Guarded(stdout);
    static FILE* const err = Guarded(stderr);
    std::fflush(stdout);
    g_out = stdout;
    g_err = stderr;
    stdout = out;
    stderr = err;
}

void Unguard() {
    if (g_out == nullptr)
        return;
    stdout = g_out;
    stderr = g_err;
    g_out = g_err = nullptr;
}

}  // namespace

Progress::Progress(int mode, std::string what, uint64_t total)
    : m_what(std::move(what)), m_total(total) {
    if (mode == 0 || (mode < 0 && isatty(STDERR_FILENO) == 0))
        return;
    std::lock_guard<std::mutex> active(g_activeMutex);
    if (g_active != nullptr || g_cleared)
        return;
    g_active = this;
    m_erase = isatty(STDERR_FILENO) != 0;
    m_base = BytesRead();
    Guard();
    m_thread = std::thread([this] { Loop(); });
}

void Progress::SetTotal(uint64_t total) {
    m_base = BytesRead();
    m_total = total;
}

Progress::~Progress() {
    std::lock_guard<std::mutex> active(g_activeMutex);
    Stop();
}

void Progress::SetReceived(uint64_t received) { g_received = received; }

void Progress::Clear() {
    std::lock_guard<std::mutex> active(g_activeMutex);
    g_cleared = true;
    if (g_active != nullptr) {
        g_active->m_cut = true;
        g_active->Stop();
    }
}

// Ends the drawing thread; called with g_activeMutex held.
void Progress::Stop() {
    if (!m_thread.joinable())
        return;
    g_active = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_one();
    m_thread.join();
    Unguard();
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
    if (m_shown)
        End(std::chrono::duration<double>(Clock::now() - start).count());
}

void Progress::End(double seconds) {
    if (m_erase) {
        // Back to the line's start, erased to its end: what follows starts a clean line.
        std::fputs("\r\033[K", g_err);
    } else if (m_cut) {
        std::fputc('\n', g_err);
    } else {
        Draw(m_total > 0 ? m_total.load() : BytesRead() - m_base, seconds);
        std::fputc('\n', g_err);
    }
    std::fflush(g_err);
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
    std::fprintf(g_err, "\r%s: %s%s, %s/s   ", m_what.c_str(),
                 Mebibytes(static_cast<double>(done)).c_str(), of.c_str(),
                 Mebibytes(rate).c_str());
    std::fflush(g_err);
    m_shown = true;
}

}  // namespace Cli
