#pragma once

// Name table that embed_resources generates for a program that carries
// resources; the list ends with an entry whose name is null.
struct EmbeddedResource {
    const char* name;
    const unsigned char* begin;
    const unsigned char* end;
};

// Weak: a program that carries nothing (the tools) has no table at all, and
// its address is then null.
extern const EmbeddedResource embedded_resources[] __attribute__((weak));
