// SPDX-License-Identifier: MIT
// Glob matching for --exclude, by backtracking on the pattern: "*" keeps the
// last place it could grow, "**" the last component it could grow by, so a
// match costs at most pattern length times path length steps.
#include "tools/vornak/payload/glob.h"

namespace vornak {

namespace {

// Matches one bracket expression at pattern[p] (just after "[") against c.
// Sets p past the closing "]". A "]" right after "[" or "[!" is literal.
bool match_class(const std::string &pattern, size_t &p, char c) {
    bool negate = p < pattern.size() && pattern[p] == '!';
    if (negate) ++p;
    bool found = false;
    bool first = true;
    while (p < pattern.size() && (first || pattern[p] != ']')) {
        first = false;
        char lo = pattern[p];
        if (lo == '\\' && p + 1 < pattern.size()) lo = pattern[++p];
        char hi = lo;
        if (p + 2 < pattern.size() && pattern[p + 1] == '-' && pattern[p + 2] != ']') {
            hi = pattern[p + 2];
            if (hi == '\\' && p + 3 < pattern.size()) hi = pattern[++p + 2];
            p += 2;
        }
        if (static_cast<unsigned char>(c) >= static_cast<unsigned char>(lo) &&
            static_cast<unsigned char>(c) <= static_cast<unsigned char>(hi))
            found = true;
        ++p;
    }
    ++p;  // the "]"
    return found != negate && c != '/';
}

// Matches pattern[p..] against path[s..] where neither holds "**".
bool match_simple(const std::string &pattern, size_t p, const std::string &path, size_t s) {
    size_t star_p = std::string::npos, star_s = 0;
    while (s < path.size()) {
        if (p < pattern.size()) {
            char pc = pattern[p];
            if (pc == '*') {
                star_p = ++p;
                star_s = s;
                continue;
            }
            size_t next = p + 1;
            bool ok;
            if (pc == '?') {
                ok = path[s] != '/';
            } else if (pc == '[') {
                ok = match_class(pattern, next, path[s]);
            } else {
                if (pc == '\\' && next < pattern.size()) pc = pattern[next++];
                ok = path[s] == pc;
            }
            if (ok) {
                p = next;
                ++s;
                continue;
            }
        }
        // Let the last "*" take one more character, never a "/".
        if (star_p == std::string::npos || path[star_s] == '/') return false;
        p = star_p;
        s = ++star_s;
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

std::vector<std::string> split(const std::string &text) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t slash = text.find('/', start);
        parts.push_back(text.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
        if (slash == std::string::npos) return parts;
        start = slash + 1;
    }
}

// Component-wise match where a "**" component takes zero or more components.
bool match_components(const std::vector<std::string> &pattern, size_t p, const std::vector<std::string> &path,
                      size_t s) {
    for (; p < pattern.size(); ++p, ++s) {
        if (pattern[p] == "**") {
            for (size_t skip = s; skip <= path.size(); ++skip)
                if (match_components(pattern, p + 1, path, skip)) return true;
            return false;
        }
        if (s == path.size() || !match_simple(pattern[p], 0, path[s], 0)) return false;
    }
    return s == path.size();
}

}  // namespace

std::string glob_problem(const std::string &pattern) {
    if (pattern.empty() || pattern == "/") return "is empty";
    if (pattern[0] == '/') return "starts with '/'; patterns are relative to the application folder";
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '\\') {
            if (++i == pattern.size()) return "ends with a lone '\\'";
        } else if (pattern[i] == '[') {
            size_t j = i + 1;
            if (j < pattern.size() && pattern[j] == '!') ++j;
            if (j < pattern.size() && pattern[j] == ']') ++j;
            while (j < pattern.size() && pattern[j] != ']') j += pattern[j] == '\\' ? 2 : 1;
            if (j >= pattern.size()) return "has a '[' without its ']'";
            i = j;
        }
    }
    return std::string();
}

bool glob_matches(const std::string &pattern, const std::string &path) {
    std::string p = pattern;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    if (p.find('/') == std::string::npos) {
        size_t slash = path.rfind('/');
        std::string last = slash == std::string::npos ? path : path.substr(slash + 1);
        return p == "**" || match_simple(p, 0, last, 0);
    }
    return match_components(split(p), 0, split(path), 0);
}

const std::string *first_match(const std::vector<std::string> &patterns, const std::string &path) {
    for (const std::string &pattern : patterns)
        if (glob_matches(pattern, path)) return &pattern;
    return nullptr;
}

}  // namespace vornak
