// iso-tree FOLDER 1|2 [MEGABYTES]
// iso-tree --text CORPUS FOLDER 1|2 [MEGABYTES]
//
// Writes the file tree of a game disc the way a translation changes it, for
// make-patch's realistic pairs: tree 1 is the original, tree 2 the same game
// translated. Both come from fixed seeds, so every run writes the same bytes.
//
// The first form is a game of large binary files with a little dialogue:
//   EVENT/  dialogue scripts, text; in tree 2 about 40 % of their lines are
//           rewritten to other lengths, so every file after them moves
//   GRAPH/  pictures: 4 KiB tiles, some repeated within a file; in tree 2 a
//           few are replaced by new ones, a few removed and a few added
//   MOVIE/  four large movies, the same in both trees
//   SOUND/  sound banks, the same in both trees
//
// MEGABYTES (default 300) scales GRAPH, MOVIE and SOUND.
//
// The second is a text-heavy game whose scripts are real prose: every plain
// text file under CORPUS (read in name order) is packed into scripts until
// nine tenths of MEGABYTES (default 60) are text.
//
//   EVENT/  the scripts; in tree 2 words are translated throughout, at least
//           one in every line that has words, each always to the same other
//           word of another length, so the old and new text share only the
//           runs between changed words and everything after a change moves
//   GRAPH/  a tenth of the size in pictures; in tree 2 a few are replaced

#include "tests/support/random/random.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <unordered_map>
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

// Every regular file under folder, in name order, so that the corpus reads
// the same however the system lists it.
std::vector<fs::path> corpus_files(const fs::path& folder) {
    std::vector<fs::path> files;
    std::error_code error;
    for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error)) {
        if (it->is_regular_file(error)) {
            files.push_back(it->path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

bool read_whole(const fs::path& path, std::string* bytes) {
    std::FILE* file = std::fopen(path.string().c_str(), "rb");
    if (file == nullptr) {
        return false;
    }
    char buffer[65536];
    std::size_t count = 0;
    while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        bytes->append(buffer, count);
    }
    const bool read = std::ferror(file) == 0;
    std::fclose(file);
    return read;
}

bool is_letter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

std::uint64_t word_hash(std::string_view word, std::uint64_t seed) {
    Random random = {seed};
    for (const char c : word) {
        random.state ^= static_cast<unsigned char>(c);
        next(&random);
    }
    return next(&random);
}

// The translation of a word: another word of the corpus, of another length,
// always the same one, as a translator keeps to one term.
struct Dictionary {
    std::vector<std::string> words; // the corpus's words of 3 letters or more
    std::unordered_map<std::string, std::string> chosen;
};

const std::string& translate(Dictionary* dictionary, const std::string& word) {
    auto found = dictionary->chosen.find(word);
    if (found != dictionary->chosen.end()) {
        return found->second;
    }
    std::uint64_t hash = word_hash(word, 7);
    std::string translation = word + "s";
    for (int tries = 0; tries < 16; tries++, hash = word_hash(word, hash)) {
        const std::string& candidate = dictionary->words[hash % dictionary->words.size()];
        if (candidate.size() != word.size()) {
            translation = candidate;
            break;
        }
    }
    return dictionary->chosen.emplace(word, translation).first->second;
}

// Translates about a third of the words of every line, and at least one in
// every line that has any; which ones depends on the line's own text.
std::string translate_script(Dictionary* dictionary, const std::string& text) {
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    std::size_t line_start = 0;
    while (line_start < text.size()) {
        std::size_t line_end = text.find('\n', line_start);
        line_end = line_end == std::string::npos ? text.size() : line_end + 1;
        const std::string_view line(text.data() + line_start, line_end - line_start);
        Random choice = {word_hash(line, 3)};
        std::string rewritten;
        bool changed = false;
        std::size_t first_word = std::string::npos;
        std::size_t first_length = 0;
        for (std::size_t i = 0; i < line.size();) {
            if (!is_letter(line[i])) {
                rewritten += line[i++];
                continue;
            }
            std::size_t end = i;
            while (end < line.size() && is_letter(line[end])) {
                end++;
            }
            const std::string word(line.substr(i, end - i));
            if (word.size() >= 3 && first_word == std::string::npos) {
                first_word = rewritten.size();
                first_length = word.size();
            }
            if (word.size() >= 3 && below(&choice, 3) == 0) {
                rewritten += translate(dictionary, word);
                changed = true;
            } else {
                rewritten += word;
            }
            i = end;
        }
        if (!changed && first_word != std::string::npos) {
            const std::string word = rewritten.substr(first_word, first_length);
            rewritten.replace(first_word, first_length, translate(dictionary, word));
        }
        out += rewritten;
        line_start = line_end;
    }
    return out;
}

// The text-heavy tree: scripts cut from the corpus, then a few pictures.
bool write_text_tree(const fs::path& corpus, const fs::path& folder, int tree,
                     std::uint64_t megabytes) {
    std::error_code error;
    fs::create_directories(folder / "EVENT", error);
    fs::create_directories(folder / "GRAPH", error);
    const std::uint64_t text_bytes = megabytes * 1000000 / 10 * 9;
    std::string text;
    for (const fs::path& path : corpus_files(corpus)) {
        std::string bytes;
        if (text.size() >= text_bytes || !read_whole(path, &bytes) ||
            bytes.find('\0') != std::string::npos) {
            continue;
        }
        text += bytes;
    }
    // Scripts of 64 to 450 KB, each ending at the end of a line.
    std::vector<std::string> scripts;
    Random sizes = {77};
    std::size_t start = 0;
    const std::size_t length = std::min<std::size_t>(text.size(), text_bytes);
    while (start < length) {
        std::size_t end = std::min<std::size_t>(length, start + 65536 + below(&sizes, 400000));
        const std::size_t newline = text.find('\n', end);
        end = newline == std::string::npos ? text.size() : newline + 1;
        scripts.push_back(text.substr(start, end - start));
        start = end;
    }
    if (scripts.empty()) {
        std::fprintf(stderr, "iso-tree: no text under %s\n", corpus.string().c_str());
        return false;
    }
    Dictionary dictionary;
    if (tree == 2) {
        std::unordered_map<std::string, bool> seen;
        for (const std::string& script : scripts) {
            for (std::size_t i = 0; i < script.size();) {
                std::size_t end = i;
                while (end < script.size() && is_letter(script[end])) {
                    end++;
                }
                if (end - i >= 3 && seen.emplace(script.substr(i, end - i), true).second) {
                    dictionary.words.push_back(script.substr(i, end - i));
                }
                i = end == i ? i + 1 : end;
            }
        }
        std::sort(dictionary.words.begin(), dictionary.words.end());
    }
    bool ok = true;
    for (std::size_t i = 0; i < scripts.size(); i++) {
        char name[32];
        std::snprintf(name, sizeof name, "SC%04zu.TXT", i);
        ok = ok && write_whole(folder / "EVENT" / name,
                               tree == 2 ? translate_script(&dictionary, scripts[i]) : scripts[i]);
    }
    const unsigned pictures = 20;
    for (unsigned i = 0; i < pictures; i++) {
        char name[32];
        std::snprintf(name, sizeof name, "PIC%03u.TEX", i);
        const std::uint64_t seed = tree == 2 && i % 7 == 2 ? 95000u + i : 25000u + i;
        ok = ok && write_whole(folder / "GRAPH" / name,
                               make_picture(seed, megabytes * 1000000 / 10 / pictures));
    }
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 5 && argc <= 6 && std::string(argv[1]) == "--text" &&
        (std::string(argv[4]) == "1" || std::string(argv[4]) == "2")) {
        const std::uint64_t megabytes = argc == 6 ? std::strtoull(argv[5], nullptr, 10) : 60;
        if (!write_text_tree(argv[2], argv[3], argv[4][0] - '0', megabytes)) {
            std::fprintf(stderr, "iso-tree: cannot write the tree in %s\n", argv[3]);
            return 1;
        }
        return 0;
    }
    if (argc < 3 || argc > 4 || (std::string(argv[2]) != "1" && std::string(argv[2]) != "2")) {
        std::fprintf(stderr, "usage: iso-tree FOLDER 1|2 [MEGABYTES]\n"
                             "       iso-tree --text CORPUS FOLDER 1|2 [MEGABYTES]\n");
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
