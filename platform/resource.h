#pragma once

// Data carried inside the program itself, looked up by name (resource type 256
// on Windows). The bytes are used where they lie, never copied.

#include <cstdint>

// true and the bytes with their length when the program carries a resource of
// that name; false otherwise.
bool find_resource(const char* name, const unsigned char** data, std::uint32_t* size);
