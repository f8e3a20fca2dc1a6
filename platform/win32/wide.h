#pragma once

// The program keeps every path in UTF-8; Windows takes and gives names in
// UTF-16. These helpers are the one place where the two meet, so that no
// name is ever squeezed through the ANSI code page (which turns letters it
// lacks into '?', and stops at 260 characters).

#include <string>

// UTF-8 -> UTF-16; false for text that is not UTF-8.
bool widen(const std::string& utf8, std::wstring* wide);

// UTF-16 -> UTF-8 (an unpaired surrogate becomes U+FFFD).
bool narrow(const wchar_t* wide, std::string* utf8);

// The form of path that Windows opens at any length: absolute, with the
// "\\?\" prefix ("\\?\UNC\" for a network share). Relative paths are taken
// from the current directory as get_current_directory reports it.
bool extended_path(const std::string& path, std::wstring* extended);
