// SPDX-License-Identifier: MIT
// The patterns of `--exclude`: which files and folders of an application
// folder stay out of its payload. Matching is on UTF-8 bytes, letter case
// counts, and paths are relative to the folder with "/" as the separator.
#pragma once

#include <string>
#include <vector>

namespace vornak {

// True when path (relative, "/"-separated) matches pattern:
//   *      any run of characters within one path component
//   ?      one character other than "/"
//   [abc]  one of the characters listed; [a-z] a range; [!abc] none of them
//   **     as a whole component ("**/x", "a/**", "a/**/x"): zero or more components
//   \c     the character c itself
// A pattern without "/" is matched against the last component alone, so
// "*.pdb" leaves out every .pdb at any depth; a pattern with "/" is matched
// against the whole path ("docs/*.md", "cache/**"). A trailing "/" is dropped.
bool glob_matches(const std::string &pattern, const std::string &path);

// Empty when pattern is one glob_matches understands; otherwise why not
// (empty, a leading "/", an unclosed "[", a trailing "\").
std::string glob_problem(const std::string &pattern);

// The first of patterns that path matches, or nullptr.
const std::string *first_match(const std::vector<std::string> &patterns, const std::string &path);

}  // namespace vornak
