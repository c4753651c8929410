#include "CImageTree.h"

bool CImageTree::Read(const std::string& path, size_t max, std::string& data) {
    data.clear();
    return Stream(
        path, [&data](const char* piece, size_t count) { data.append(piece, count); }, true, max);
}
