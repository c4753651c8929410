// GRUB's environment block: a file of exactly 1024 bytes, "# GRUB Environment
// Block", one "name=value" line per variable, '#' to the end. Save writes the
// whole block to a temporary file beside it, syncs it and renames it over the
// old one, so the block is the old one or the new one, never a mix.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "CBootEnv.h"

class CGrubEnv : public CBootEnv {
  public:
    static constexpr size_t kBlockSize = 1024;

    explicit CGrubEnv(std::string path) : m_path(std::move(path)) {}

    bool Load() override;
    std::string Get(const std::string& name) override;
    void Set(const std::string& name, const std::string& value) override;
    bool Save() override;

  private:
    bool Parse(const std::string& block);
    std::string Compose() const;

    std::string m_path;
    std::vector<std::pair<std::string, std::string>> m_variables;  // in stored order
};
