#include "CPkcs11Uri.h"

#include <algorithm>
#include <cctype>
#include <utility>
#include <vector>

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    const char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower >= 'a' && lower <= 'f' ? lower - 'a' + 10 : -1;
}

// The text with its %XX escapes decoded; false for a broken escape.
bool Unescape(const std::string& text, std::string& out) {
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        const int high = i + 2 < text.size() ? HexDigit(text[i + 1]) : -1;
        const int low = i + 2 < text.size() ? HexDigit(text[i + 2]) : -1;
        if (high < 0 || low < 0)
            return false;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return true;
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    if (text.empty())
        return parts;
    size_t start = 0;
    for (size_t end = text.find(separator); end != std::string::npos;
         end = text.find(separator, start)) {
        parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    parts.push_back(text.substr(start));
    return parts;
}

}  // namespace

bool CPkcs11Uri::Parse(const std::string& text, std::string& problem) {
    *this = CPkcs11Uri();
    if (!IsUri(text)) {
        problem = "not a pkcs11: URI";
        return false;
    }
    const size_t query = text.find('?');
    const std::string path = text.substr(7, query == std::string::npos ? query : query - 7);
    const std::pair<std::string, char> parts[] = {
        {path, ';'}, {query == std::string::npos ? "" : text.substr(query + 1), '&'}};
    std::vector<std::string> seen;
    for (const auto& [part, separator] : parts) {
        for (const std::string& attribute : Split(part, separator)) {
            if (!TakeAttribute(attribute, seen, problem))
                return false;
        }
    }
    hasId = !id.empty();
    // The URI names the key to sign with: only a private key can be it.
    if (!type.empty() && type != "private") {
        problem = "type=" + type + " names no key to sign with (type=private)";
        return false;
    }
    if (pinSource.rfind("file:", 0) == 0)
        pinSource = pinSource.substr(pinSource.rfind("file://", 0) == 0 ? 7 : 5);
    return true;
}

bool CPkcs11Uri::TakeAttribute(const std::string& attribute, std::vector<std::string>& seen,
                               std::string& problem) {
    const size_t equals = attribute.find('=');
    const std::string name = attribute.substr(0, equals);
    std::string value;
    if (equals == std::string::npos || !Unescape(attribute.substr(equals + 1), value)) {
        problem = "'" + attribute + "' is not NAME=VALUE with %XX escapes";
        return false;
    }
    if (std::find(seen.begin(), seen.end(), name) != seen.end()) {
        problem = name + " is given twice";
        return false;
    }
    seen.push_back(name);
    if (name == "pin-value") {
        problem =
            "a PIN is never taken from the command line; use pin-source=file:PATH or "
            "--pin-file PATH";
        return false;
    }
    const std::pair<const char*, std::string*> fields[] = {{"token", &token},
                                                           {"manufacturer", &manufacturer},
                                                           {"model", &model},
                                                           {"serial", &serial},
                                                           {"object", &object},
                                                           {"id", &id},
                                                           {"type", &type},
                                                           {"pin-source", &pinSource},
                                                           {"module-path", &modulePath}};
    for (const auto& [known, field] : fields) {
        if (name == known) {
            *field = value;
            return true;
        }
    }
    problem = "the attribute " + name + " is not supported";
    return false;
}
