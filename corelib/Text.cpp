#include "Text.h"

namespace Core {
namespace Text {

std::string Escaped(const std::string& name) {
    std::string shown;
    for (const char c : name) {
        const unsigned char byte = static_cast<unsigned char>(c);
        switch (c) {
            case '\\':
                shown += "\\\\";
                break;
            case '\n':
                shown += "\\n";
                break;
            case '\t':
                shown += "\\t";
                break;
            case '\r':
                shown += "\\r";
                break;
            default:
                if (byte < 0x20 || byte == 0x7F) {
                    static const char kHex[] = "0123456789abcdef";
                    shown += "\\x";
                    shown += kHex[byte >> 4];
                    shown += kHex[byte & 0xF];
                } else {
                    shown += c;
                }
        }
    }
    return shown;
}

std::string JsonArray(const std::vector<std::string>& documents) {
    std::string out = "[";
    for (const std::string& doc : documents) {
        out += out.size() > 1 ? ",\n  " : "\n  ";
        for (size_t i = 0; i + 1 < doc.size(); ++i) {
            out += doc[i];
            if (doc[i] == '\n')
                out += "  ";
        }
    }
    return out + "\n]\n";
}

}  // namespace Text
}  // namespace Core
