#include "CSlotRecord.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>

#include "FilePath.h"
#include "Output.h"
#include "Parse.h"

bool CSlotRecord::Fail(const std::string& problem, const std::string* path) {
    m_problem = (path != nullptr ? *path : m_path) + ": " + problem;
    return false;
}

bool CSlotRecord::Read(SlotRecord& record) {
    m_problem.clear();
    std::ifstream file(m_path);
    if (!file)
        return errno == ENOENT ? false : Fail(std::strerror(errno));
    const nlohmann::json document = nlohmann::json::parse(file, nullptr, false);
    if (!document.is_object())
        return Fail("not a slot record");
    try {
        record.version = document.at("version").get<std::string>();
        record.sha256 = document.at("sha256").get<std::string>();
        record.size = document.at("size").get<uint64_t>();
        record.keyIds = document.value("keyids", std::vector<std::string>());
        if (!Core::Parse::UtcTime(document.at("installed").get<std::string>(), record.installed)
                 .empty())
            return Fail("not a slot record");
        record.confirmed = document.value("confirmed", false);
    } catch (const nlohmann::json::exception&) {
        return Fail("not a slot record");
    }
    if (!Core::Parse::PackageVersion(record.version, record.packed).empty())
        return Fail("not a slot record");
    return true;
}

bool CSlotRecord::Write(const SlotRecord& record) {
    const nlohmann::ordered_json document = {
        {"version", record.version},
        {"sha256", record.sha256},
        {"size", record.size},
        {"keyids", record.keyIds},
        {"installed", Core::Parse::FormatUtcTime(record.installed)},
        {"confirmed", record.confirmed}};
    const std::string text = document.dump(2) + "\n";
    Core::File::Output output(m_path);
    if (!output.Open() || !output.Write(text.data(), text.size()) || !output.Commit(true))
        return Fail(output.Cause());
    return true;
}

bool CSlotRecord::WriteSbom(const std::string& document) {
    Core::File::Output output(m_sbomPath);
    if (!output.Open() || !output.Write(document.data(), document.size()) || !output.Commit(true))
        return Fail(output.Cause(), &m_sbomPath);
    return true;
}

bool CSlotRecord::ReadSbom(size_t max, std::string& document) {
    m_problem.clear();
    const int fd = open(m_sbomPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? false : Fail(std::strerror(errno), &m_sbomPath);
    document.assign(max + 1, '\0');
    const ssize_t got = Core::File::ReadAt(fd, &document[0], document.size(), 0);
    const int error = errno;
    close(fd);
    if (got < 0)
        return Fail(std::strerror(error), &m_sbomPath);
    if (static_cast<size_t>(got) > max)
        return Fail("larger than a bill of materials is", &m_sbomPath);
    document.resize(static_cast<size_t>(got));
    return true;
}

bool CSlotRecord::Remove() {
    return Unlink(m_path) && Unlink(m_sbomPath);
}

bool CSlotRecord::Unlink(const std::string& path) {
    if (unlink(path.c_str()) != 0)
        return errno == ENOENT || Fail(std::strerror(errno), &path);
    const int dir = open(m_state.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool synced = dir >= 0 && fsync(dir) == 0;
    const int error = errno;
    if (dir >= 0)
        close(dir);
    return synced || Fail(std::strerror(error), &path);
}

bool CSlotRecord::MakeState(const std::string& state, std::string& problem) {
    if (mkdir(state.c_str(), 0755) == 0 || errno == EEXIST)
        return true;
    problem = state + ": " + std::strerror(errno);
    return false;
}
