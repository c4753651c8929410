// Keeps two signers of one package file from interleaving, so that neither
// loses the other's signature: an exclusive flock on the package file, taken
// before it is read and held until the signed package has replaced it (until
// the object goes away, or the process ends, however it ends). A signer that
// finds it taken waits, then reads the package the other one put in place.
#pragma once

#include <string>
#include <utility>

class CPackageLock {
  public:
    explicit CPackageLock(std::string path) : m_path(std::move(path)) {}
    ~CPackageLock();
    CPackageLock(const CPackageLock&) = delete;
    CPackageLock& operator=(const CPackageLock&) = delete;

    // Waits for the lock on the file the path names once it is held: a file
    // replaced while the lock was awaited is locked anew. False with errno set
    // when the file cannot be opened or locked.
    bool Take();

  private:
    std::string m_path;
    int m_fd = -1;
};
