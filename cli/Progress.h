// A progress line on standard error for work on large files: bytes done, the total
// and the rate, redrawn a few times a second from a thread of its own. It appears only
// once the work has taken a second, and only when standard error is a terminal, unless
// forced either way. The bytes done are those the process has read since the line was
// made (the kernel counts them for every thread), so the libraries doing the work need
// no hook; bytes received from a server, which the kernel does not count so, are
// told by the program (SetReceived).
//
// A run draws one line at a time, and none once other output has begun: the line is
// erased before the first message or result (Clear), and when its work ends, so no
// output is glued to it and no finished line is left above the results. A line forced
// onto what is no terminal is ended with its final state instead, for the log.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace Cli {

class Progress {
  public:
    // `mode`: 1 forced, 0 never, -1 when standard error is a terminal. `total` is what
    // the work will read, in bytes; 0 while it is not known (standard input being read).
    Progress(int mode, std::string what, uint64_t total = 0);
    // Sets what the work will read from now on, once it is known.
    void SetTotal(uint64_t total);
    // Ends the line: erased on a terminal, drawn complete elsewhere, when it was shown.
    ~Progress();
    // Erases the line being drawn, if any, for good: called before any other output,
    // after which no line of this run is drawn again.
    static void Clear();
    // The bytes received from the network so far, counted as read.
    static void SetReceived(uint64_t received);
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

  private:
    void Loop();
    void Stop();
    void Draw(uint64_t done, double seconds);
    void End(double seconds);

    std::string m_what;
    std::atomic<uint64_t> m_total;
    std::atomic<uint64_t> m_base{0};
    bool m_shown = false;
    bool m_erase = false;  // on a terminal: the line is erased, not left
    bool m_cut = false;    // other output began: the line is ended where it stands
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;
    std::thread m_thread;
};

}  // namespace Cli
