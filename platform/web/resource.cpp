#include "platform/resource.h"

// The page fetches the patch and the soundtracks beside the module, checks
// each against the SHA-256 the build fixed, and copies it into this module's
// memory once; the worker's library (platform/web/library.js) says where.
extern "C" int web_find_resource(const char* name, const unsigned char** data, std::uint32_t* size);

bool find_resource(const char* name, const unsigned char** data, std::uint32_t* size) {
    return web_find_resource(name, data, size) != 0;
}
