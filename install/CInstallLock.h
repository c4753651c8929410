// The one lock that keeps installs from interleaving: an exclusive flock on
// STATE/lock, held until the object goes away (or the process ends, however
// it ends). A second install does not wait: it is refused.
#pragma once

#include <string>

class CInstallLock {
  public:
    explicit CInstallLock(std::string state) : m_path(state + "/lock") {}
    ~CInstallLock();
    CInstallLock(const CInstallLock&) = delete;
    CInstallLock& operator=(const CInstallLock&) = delete;

    // Takes the lock; false with Busy() when another holds it, or Problem().
    bool Take();
    bool Busy() const { return m_busy; }
    const std::string& Path() const { return m_path; }
    const std::string& Problem() const { return m_problem; }

  private:
    std::string m_path;
    int m_fd = -1;
    bool m_busy = false;
    std::string m_problem;
};
