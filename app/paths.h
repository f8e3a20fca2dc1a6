#pragma once

// Text operations on full paths, with the platform's separator.

#include <cstddef>
#include <string>

// Shortens a path for messages: when n is below its length, removes the first
// n + 1 characters (the start directory and the separator after it) and
// returns 1; otherwise leaves it and returns 0.
int display_name(std::string* text, std::size_t n);

// Drops the last n characters when n is below the length (returns 1);
// otherwise leaves the text and returns 0.
int strip_tail(std::string* text, std::size_t n);

// Cuts the text at its count-th separator from the end (the separator goes
// too). Separators are counted from the end towards the second character;
// with fewer than count there, the text stays and the result is 0. A count of
// 0 or less changes nothing and gives 1.
int strip_last_components(std::string* path, int count);

// base, a separator unless base already ends in one, and name.
std::string join_path(const std::string& base, const std::string& name);
