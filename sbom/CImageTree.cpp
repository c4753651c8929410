#include "CImageTree.h"

bool CImageTree::Read(const std::string& path, size_t max, std::string& data) {
    uint64_t size = 0;
    if (!Size(path, size))
        return false;
    if (size > max)
        return Fail(path + ": larger than " + std::to_string(max) + " bytes");
    data.clear();
    data.reserve(static_cast<size_t>(size));
    return Stream(path, [&data](const char* piece, size_t count) { data.append(piece, count); });
}
