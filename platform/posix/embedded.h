#pragma once

// Name table that embed_resources generates for each executable; the list ends
// with an entry whose name is null.
struct EmbeddedResource {
    const char* name;
    const unsigned char* begin;
    const unsigned char* end;
};

extern const EmbeddedResource embedded_resources[];
