// iso-tree FOLDER 1|2 [MEGABYTES]
//
// Writes the file tree of a game disc the way a translation changes it, for
// make-patch's realistic pair: tree 1 is the original, tree 2 the same game
// translated. Both come from fixed seeds, so every run writes the same bytes.
//
//   EVENT/  dialogue scripts, text; in tree 2 about 40 % of their lines are
//           rewritten to other lengths, so every file after them moves
//   GRAPH/  pictures: 4 KiB tiles, some repeated within a file; in tree 2 a
//           few are replaced by new ones, a few removed and a few added
//   MOVIE/  four large movies, the same in both trees
//   SOUND/  sound banks, the same in both trees
//
// MEGABYTES (default 300) scales GRAPH, MOVIE and SOUND.

#include "tools/random/random.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Random {
    std::uint64_t state;
};

std::uint64_t next(Random* random) {
    return next_random(&random->state);
}

std::uint64_t below(Random* random, std::uint64_t limit) {
    return random_below(&random->state, limit);
}

void fill_random(Random* random, std::string* bytes, std::size_t length) {
    const std::size_t start = bytes->size();
    bytes->resize(start + length);
    for (std::size_t i = 0; i < length; i += 8) {
        const std::uint64_t value = next(random);
        for (std::size_t k = 0; k < 8 && i + k < length; k++) {
            (*bytes)[start + i + k] = static_cast<char>(value >> (8 * k));
        }
    }
}

bool write_whole(const fs::path& path, const std::string& bytes) {
    std::FILE* file = std::fopen(path.string().c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}

// A word list made of syllables; the translation draws from another one.
std::vector<std::string> make_words(std::uint64_t seed, std::size_t count) {
    static const char* const syllables[] = {"ka", "ri",  "to",  "ne", "sa", "mu",  "la", "ve",
                                            "do", "chi", "ran", "el", "os", "tre", "qu", "ya"};
    Random random = {seed};
    std::vector<std::string> words;
    for (std::size_t i = 0; i < count; i++) {
        std::string word;
        const std::uint64_t length = 1 + below(&random, 4);
        for (std::uint64_t k = 0; k < length; k++) {
            word += syllables[below(&random, 16)];
        }
        words.push_back(word);
    }
    return words;
}

std::string make_line(Random* random, const std::vector<std::string>& words) {
    std::string line = "MSG" + std::to_string(below(random, 100000)) + " ";
    const std::uint64_t count = 4 + below(random, 12);
    for (std::uint64_t k = 0; k < count; k++) {
        line += words[below(random, words.size())];
        line += k + 1 < count ? " " : ".\n";
    }
    return line;
}

// One dialogue script. Each line is drawn from its own seed, so tree 2 can
// rewrite some lines and keep the rest byte for byte.
std::string make_script(unsigned number, int tree) {
    static const std::vector<std::string> original = make_words(11, 400);
    static const std::vector<std::string> translated = make_words(12, 400);
    Random lines = {1000u + number};
    const std::uint64_t count = 200 + below(&lines, 1400);
    std::string text;
    for (std::uint64_t i = 0; i < count; i++) {
        Random line = {next(&lines)};
        Random choice = {line.state ^ 0x5555};
        if (tree == 2 && below(&choice, 100) < 40) {
            text += make_line(&choice, translated);
        } else {
            text += make_line(&line, original);
        }
    }
    return text;
}

// A picture of 4 KiB tiles, about a tenth of them repeats of earlier ones.
std::string make_picture(std::uint64_t seed, std::size_t bytes) {
    Random random = {seed};
    std::string picture;
    while (picture.size() < bytes) {
        const std::size_t tiles = picture.size() / 4096;
        if (tiles > 4 && below(&random, 10) == 0) {
            picture += picture.substr(below(&random, tiles) * 4096, 4096);
        } else {
            fill_random(&random, &picture, 4096);
        }
    }
    picture.resize(bytes);
    return picture;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc > 4 || (std::string(argv[2]) != "1" && std::string(argv[2]) != "2")) {
        std::fprintf(stderr, "usage: iso-tree FOLDER 1|2 [MEGABYTES]\n");
        return 2;
    }
    const fs::path folder = argv[1];
    const int tree = argv[2][0] - '0';
    const std::uint64_t megabytes = argc == 4 ? std::strtoull(argv[3], nullptr, 10) : 300;
    std::error_code error;
    for (const char* name : {"EVENT", "GRAPH", "MOVIE", "SOUND"}) {
        fs::create_directories(folder / name, error);
    }
    bool ok = true;
    for (unsigned i = 0; i < 250; i++) {
        char name[32];
        std::snprintf(name, sizeof name, "EV%04u.TXT", i);
        ok = ok && write_whole(folder / "EVENT" / name, make_script(i, tree));
    }
    // GRAPH takes half of the size, MOVIE a third, SOUND the rest.
    const unsigned graph_files = 150;
    const std::uint64_t graph_bytes = megabytes * 1000000 / 2 / graph_files;
    for (unsigned i = 0; i < graph_files + 5; i++) {
        const bool added = i >= graph_files;
        const bool removed = i % 37 == 5;
        const bool replaced = i % 29 == 3;
        if ((tree == 1 && added) || (tree == 2 && removed)) {
            continue;
        }
        char name[32];
        // The added pictures sort among the others.
        std::snprintf(name, sizeof name, "PIC%03u%s.TEX", added ? (i - graph_files) * 30 + 7 : i,
                      added ? "B" : "");
        Random size = {i * 7u + 3};
        const std::uint64_t seed = tree == 2 && (replaced || added) ? 90000u + i : 20000u + i;
        ok = ok && write_whole(folder / "GRAPH" / name,
                               make_picture(seed, graph_bytes / 2 + below(&size, graph_bytes)));
    }
    for (unsigned i = 0; i < 4; i++) {
        char name[32];
        std::snprintf(name, sizeof name, "MOV%u.PSS", i);
        ok = ok && write_whole(folder / "MOVIE" / name,
                               make_picture(30000u + i, megabytes * 1000000 / 3 / 4));
    }
    for (unsigned i = 0; i < 20; i++) {
        char name[32];
        std::snprintf(name, sizeof name, "SE%02u.BNK", i);
        ok = ok && write_whole(folder / "SOUND" / name,
                               make_picture(40000u + i, megabytes * 1000000 / 6 / 20));
    }
    if (!ok) {
        std::fprintf(stderr, "iso-tree: cannot write the tree in %s\n", argv[1]);
        return 1;
    }
    return 0;
}
