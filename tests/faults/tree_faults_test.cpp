// Folder trees a player's disk may hold around the image: links that loop,
// depths and path lengths past the usual limits, folders the program may not
// read, names that are not plain ASCII or look like format directives, and
// files that are not what their listing says. A decoy image (right size and
// signatures, zeros elsewhere) stands for the player's image: when the search
// reaches it, the patch fails at once on its first window, which shows
// exactly which file was taken.

#include "tests/faults/fault_case.h"
#include "tests/support/console.h"
#include "tests/support/files.h"

#include <cstdio>

namespace {

// A path written in UTF-8, as the test spells every name, on every platform.
fs::path utf8_path(const std::string& text) {
    return fs::path(std::u8string(text.begin(), text.end()));
}

// A decoy to make inside a chain of nested folders, at a level counted from
// 1 (inside the first folder).
struct ChainFile {
    std::size_t level;
    std::string name;
};

// Makes the nested folders one level at a time, so that the tree may go
// deeper than the longest path the system takes: through full paths of any
// length where a deep current folder is unsafe, otherwise from inside the
// folder above, so that no path handed to the system is longer than one
// name. False when the system refuses a step.
bool make_chain(const fs::path& base, const std::vector<std::string>& names,
                const std::vector<ChainFile>& files) {
    std::error_code error;
    const fs::path start = fs::current_path();
    fs::path here = any_length_path(base);
    if (!DEEP_FOLDERS_BY_FULL_PATH) {
        fs::current_path(base, error);
        here = ".";
    }
    for (std::size_t level = 1; !error && level <= names.size(); level++) {
        const fs::path name = utf8_path(names[level - 1]);
        fs::create_directory(here / name, error);
        if (!error && DEEP_FOLDERS_BY_FULL_PATH) {
            here /= name;
        } else if (!error) {
            fs::current_path(name, error);
        }
        for (const ChainFile& file : files) {
            if (!error && file.level == level) {
                make_decoy_image(here / utf8_path(file.name));
            }
        }
    }
    fs::current_path(start);
    return !error;
}

// Removes the chain from the bottom up, again one level at a time.
void remove_chain(const fs::path& base, const std::vector<std::string>& names) {
    std::error_code error;
    if (DEEP_FOLDERS_BY_FULL_PATH) {
        fs::remove_all(any_length_path(base / utf8_path(names[0])), error);
        return;
    }
    const fs::path start = fs::current_path();
    fs::current_path(base, error);
    std::size_t depth = 0;
    while (!error && depth < names.size()) {
        fs::current_path(utf8_path(names[depth]), error);
        if (!error) {
            depth++;
        }
    }
    for (; depth > 0; depth--) {
        for (const fs::directory_entry& entry : fs::directory_iterator(".", error)) {
            fs::remove_all(entry.path().filename(), error);
        }
        fs::current_path("..", error);
        fs::remove(utf8_path(names[depth - 1]), error);
    }
    fs::current_path(start, error);
}

class TreeFault : public FaultCase {
  protected:
    void SetUp() override {
        folder = make_temp_folder("faults");
    }

    void TearDown() override {
        FaultCase::TearDown();
        if (!chain.empty()) {
            remove_chain(folder, chain);
        }
        remove_temp_folder(folder);
    }

    // A decoy the run must neither change nor leave an output beside.
    fs::path decoy(const std::string& relative) {
        const fs::path path = folder / relative;
        fs::create_directories(path.parent_path());
        make_decoy_image(path);
        watch_source(path);
        forbid_output(output_for(path));
        return path;
    }

    static fs::path output_for(const fs::path& image) {
        fs::path output = image.parent_path() / image.stem();
        output += "_patched.iso";
        return output;
    }

    // Runs the program here and returns what it printed between the banner
    // and the closing prompt, which every ending must show.
    std::string run_here(ChildRun child) {
        const std::string output = run(child).output;
        const std::string banner = to_console(BANNER);
        const std::string closing = to_console(CLOSING);
        EXPECT_EQ(output.substr(0, banner.size()), banner);
        EXPECT_GE(output.size(), banner.size() + closing.size());
        if (output.size() < banner.size() + closing.size()) {
            return output;
        }
        EXPECT_EQ(output.substr(output.size() - closing.size()), closing);
        return output.substr(banner.size(), output.size() - banner.size() - closing.size());
    }

    std::string run_here() {
        return run_here(player_run(folder));
    }

    // Why an ordinary user could not start the program from where the build
    // put it; empty when one can.
    static std::string unreachable_by_ordinary_user() {
        for (fs::path step = fs::path(PATCHER_PROGRAM).parent_path(); step != step.parent_path();
             step = step.parent_path()) {
            if (running_as_superuser() &&
                (fs::status(step).permissions() & fs::perms::others_exec) == fs::perms::none) {
                return "an ordinary user cannot reach the program in " + step.string();
            }
        }
        return "";
    }

    fs::path folder;
    std::vector<std::string> chain;
};

TEST_F(TreeFault, LinkBackToAnAncestorIsNotFollowedRoundAndRound) {
    describe("Folder links that form cycles (to the parent, to itself)");
    std::error_code error;
    fs::create_directory(folder / "a_loop");
    fs::create_directory_symlink("..", folder / "a_loop" / "back", error);
    if (!error) {
        fs::create_directory_symlink(".", folder / "a_loop" / "self", error);
    }
    if (error) {
        GTEST_SKIP() << "this system makes no folder links: " << error.message();
    }
    decoy("z_Veltrane.iso");
    EXPECT_EQ(run_here(), decoy_verdict("z_Veltrane.iso"));
}

TEST_F(TreeFault, TreeDeeperThan255LevelsIsSearchedTo255AndNoFurther) {
    describe("Tree 300 levels deep: images at level 255 and 256");
    chain.assign(300, "d");
    chain[0] = "a_deep";
    // In the level-255 folder the subfolder "d" comes before the image: the
    // walk must refuse to go down, come back and still take the image.
    if (!make_chain(folder, chain, {{255, "x_Veltrane.iso"}, {256, "y_Veltrane.iso"}})) {
        GTEST_SKIP() << "this system cannot make a tree 300 levels deep";
    }
    decoy("z_Veltrane.iso");
    std::string level_255 = "a_deep/";
    for (int level = 2; level <= 255; level++) {
        level_255 += "d/";
    }
    level_255 += "x_Veltrane.iso";
    watch_source(folder / level_255);
    const std::string seen = run_here();
    if (LISTINGS_ARE_SORTED) {
        EXPECT_EQ(seen, decoy_verdict(native_separators(level_255)));
    } else {
        // Windows cannot enter folders whose path passes 260 characters;
        // there the walk passes over the deep levels instead.
        EXPECT_TRUE(seen == decoy_verdict(native_separators(level_255)) ||
                    seen == decoy_verdict("z_Veltrane.iso"))
            << seen;
    }
}

// Runs the program as an ordinary user in a tree with a folder it may not
// use; the image after that folder must still be found.
class LockedFolder : public TreeFault {
  protected:
    void expect_passed_over(fs::perms locked) {
        if (!FAULT_ABILITIES.unprivileged) {
            GTEST_SKIP() << "folder permissions cannot be taken away here (Windows under Wine)";
        }
        const std::string unreachable = unreachable_by_ordinary_user();
        if (!unreachable.empty()) {
            GTEST_SKIP() << unreachable;
        }
        fs::create_directory(folder / "a_locked");
        make_decoy_image(folder / "a_locked" / "inside.iso");
        fs::permissions(folder / "a_locked", locked);
        const fs::path image = decoy("z_Veltrane.iso");
        // The ordinary user opens the image for reading and writing and
        // writes the output beside it.
        fs::permissions(folder, fs::perms::all);
        fs::permissions(image, fs::perms::others_read | fs::perms::others_write,
                        fs::perm_options::add);
        ChildRun child = player_run(folder);
        child.unprivileged = true;
        EXPECT_EQ(run_here(child), decoy_verdict("z_Veltrane.iso"));
        fs::permissions(folder / "a_locked", fs::perms::owner_all, fs::perm_options::add);
    }
};

TEST_F(LockedFolder, FolderThatCannotBeEnteredIsPassedOver) {
    describe("Subfolder without any permission (run as an ordinary user)");
    expect_passed_over(fs::perms::none);
}

TEST_F(LockedFolder, FolderThatCannotBeListedIsPassedOver) {
    describe("Subfolder that can be entered but not listed (run as an ordinary user)");
    expect_passed_over(fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec);
}

TEST_F(TreeFault, ImageThatMayOnlyBeReadIsPatched) {
    describe("Image that may only be read (read-only attribute; no write permission for an "
             "ordinary user)");
    const fs::path image = decoy("Veltrane.iso");
    fs::permissions(image,
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    ChildRun child = player_run(folder);
    if (FAULT_ABILITIES.unprivileged) {
        // The superuser opens anything: an ordinary user, who may write the
        // folder (the output goes beside the image) but not the image.
        const std::string unreachable = unreachable_by_ordinary_user();
        if (!unreachable.empty()) {
            GTEST_SKIP() << unreachable;
        }
        fs::permissions(folder, fs::perms::all);
        fs::permissions(image, fs::perms::others_read, fs::perm_options::add);
        child.unprivileged = true;
    }
    EXPECT_EQ(run_here(child), decoy_verdict("Veltrane.iso"));
}

// Where players keep an imported game: folders and names in Japanese and
// Spanish, and trees deeper than the 260 characters old Windows programs
// stop at. Each image is found, opened and fed to the decoder (the checksum
// verdict shows it), and its name is shown in the console's own bytes.
struct PlayersPlace {
    const char* title;
    std::vector<std::string> folders;
    const char* name;
};

class PlayersPlaces : public TreeFault, public ::testing::WithParamInterface<PlayersPlace> {};

TEST_P(PlayersPlaces, ImageIsFoundAndItsNameShownInTheConsolesBytes) {
    const PlayersPlace& place = GetParam();
    describe(place.title);
    chain = place.folders;
    if (chain.empty()) {
        make_decoy_image(folder / utf8_path(place.name));
    } else if (!make_chain(folder, chain, {{chain.size(), place.name}})) {
        GTEST_SKIP() << "this system cannot make " << place.title;
    }
    std::string relative;
    for (const std::string& name : chain) {
        relative += name + "/";
    }
    relative += place.name;
    const fs::path image = folder / utf8_path(relative);
    watch_source(image);
    forbid_output(output_for(image));
    EXPECT_EQ(run_here(), decoy_verdict(to_console(native_separators(relative))));
}

INSTANTIATE_TEST_SUITE_P(
    Trees, PlayersPlaces,
    ::testing::Values(
        PlayersPlace{"Image in a folder with a Japanese name", {"ヴェルトレーン"}, "juego.iso"},
        PlayersPlace{"Image with a Japanese name", {}, "ヴェルトレーン.iso"},
        PlayersPlace{"Image in a folder with a Spanish name", {"España"}, "juego.iso"},
        PlayersPlace{"Image nine folders of 30 letters deep (a path past 260 characters)",
                     std::vector<std::string>(9, std::string(30, 'v')), "juego.iso"},
        PlayersPlace{"Image 34 folders of 30 letters deep (a path past 1,000 characters)",
                     std::vector<std::string>(34, std::string(30, 'v')), "juego.iso"}));

TEST_F(TreeFault, PathLongerThan255BytesIsShownWhole) {
    describe("Image at a path longer than 255 bytes");
    chain.assign(3, "a_" + std::string(100, 'l'));
    if (!make_chain(folder, chain, {{3, "Veltrane.iso"}})) {
        GTEST_SKIP() << "this system cannot make a path that long";
    }
    decoy("z_Veltrane.iso");
    const std::string deep = chain[0] + "/" + chain[1] + "/" + chain[2] + "/Veltrane.iso";
    watch_source(folder / deep);
    const std::string seen = run_here();
    if (LISTINGS_ARE_SORTED) {
        EXPECT_EQ(seen, decoy_verdict(native_separators(deep)));
    } else {
        // Past 260 characters Windows does not enter the folder.
        EXPECT_TRUE(seen == decoy_verdict(native_separators(deep)) ||
                    seen == decoy_verdict("z_Veltrane.iso"))
            << seen;
    }
}

TEST_F(TreeFault, PathLongerThan4096BytesIsTakenWholeOrPassedOver) {
    describe("Image at a path longer than 4,096 bytes");
    if (!FAULT_ABILITIES.very_long_paths) {
        GTEST_SKIP() << "Wine fails on a current folder whose Unix path passes 4,096 bytes";
    }
    chain.assign(22, "a_" + std::string(200, 'l'));
    if (!make_chain(folder, chain, {{22, "Veltrane.iso"}})) {
        GTEST_SKIP() << "this system cannot make a path that long";
    }
    decoy("z_Veltrane.iso");
    std::string deep;
    for (const std::string& name : chain) {
        deep += name + "/";
    }
    deep += "Veltrane.iso";
    // No system call takes a path this long: finding the deep image is as
    // sound as passing over the folders that lead to it, as long as the
    // name is never cut or the program harmed.
    const std::string seen = run_here();
    EXPECT_TRUE(seen == decoy_verdict(native_separators(deep)) ||
                seen == decoy_verdict("z_Veltrane.iso"))
        << seen.substr(0, 300);
}

// The decoy under a name that the test's file functions may not spell the
// way the platform's narrow ones do: made under a plain name and renamed
// with the narrow function, then found again by listing the folder.
fs::path rename_decoy(const fs::path& folder, const std::string& raw_name) {
    make_decoy_image(folder / "plain.iso");
    const std::string from = (folder / "plain.iso").string();
    const std::string to = (folder / "plain.iso").parent_path().string() +
                           static_cast<char>(fs::path::preferred_separator) + raw_name;
    if (std::rename(from.c_str(), to.c_str()) != 0) {
        return fs::path();
    }
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
        return entry.path();
    }
    return fs::path();
}

TEST_F(TreeFault, NonAsciiNameIsPrintedAsItsRawBytes) {
    describe("Image name with bytes outside ASCII");
    const fs::path image = rename_decoy(folder, NON_ASCII_NAME);
    ASSERT_FALSE(image.empty()) << "cannot name a file " << NON_ASCII_NAME;
    watch_source(image);
    forbid_output(output_for(image));
    EXPECT_EQ(run_here(), decoy_verdict(NON_ASCII_NAME_SHOWN));
}

TEST_F(TreeFault, FormatDirectivesInANameArePrintedNotInterpreted) {
    describe("Image name with %s, %n, %x and %% in it");
    const char* name = "Veltrane %s%n%x%%.iso";
    const fs::path image = rename_decoy(folder, name);
    ASSERT_FALSE(image.empty()) << "cannot name a file " << name;
    watch_source(image);
    forbid_output(output_for(image));
    EXPECT_EQ(run_here(), decoy_verdict(name));
}

TEST_F(TreeFault, FolderNamedLikeAnImageIsSearchedNotOpened) {
    describe("A folder named x.iso (holding the image)");
    decoy("x.iso/Veltrane.iso");
    EXPECT_EQ(run_here(), decoy_verdict(native_separators("x.iso/Veltrane.iso")));
    EXPECT_TRUE(fs::is_directory(folder / "x.iso"));
}

TEST_F(TreeFault, ImageThatVanishesBeforeItIsOpenedEndsTheRunPlainly) {
    describe("An .iso listed but gone when opened (dangling link), image after it");
    std::error_code error;
    fs::create_symlink("gone.iso", folder / "a_Veltrane.iso", error);
    if (error) {
        GTEST_SKIP() << "this system makes no file links: " << error.message();
    }
    decoy("b_Veltrane.iso");
    // A candidate that cannot be opened ends the run; the image after it is
    // not tried.
    EXPECT_EQ(run_here(),
              to_console("Incapaz de abrir el siguiente archivo ISO Jap: a_Veltrane.iso\n"));
}

TEST_F(TreeFault, ImageHeldByAnotherProgramEndsTheRunPlainly) {
    describe("An .iso another program holds open without sharing, image after it");
    write_file(folder / "a_Veltrane.iso", "in use");
    void* hold = hold_file_exclusively(folder / "a_Veltrane.iso");
    if (hold == nullptr) {
        GTEST_SKIP() << "files cannot be held against other programs on this platform";
    }
    decoy("b_Veltrane.iso");
    EXPECT_EQ(run_here(),
              to_console("Incapaz de abrir el siguiente archivo ISO Jap: a_Veltrane.iso\n"));
    release_file(hold);
}

TEST_F(TreeFault, ImageFourGibibytesTooLongIsNotTakenForTheSource) {
    describe("File of the source size plus 4 GiB with both signatures");
    const fs::path image = folder / "Veltrane.iso";
    make_decoy_image(image, SOURCE_IMAGE_BYTES + (std::uint64_t{1} << 32));
    watch_source(image);
    forbid_output(folder / "Veltrane_patched.iso");
    EXPECT_EQ(run_here(), to_console(NOT_FOUND));
}

TEST_F(TreeFault, PipeNamedLikeAnImageIsPassedOverWithoutWaiting) {
    describe("A FIFO named a.iso before the image");
    if (!make_fifo(folder / "a.iso")) {
        GTEST_SKIP() << "this system makes no FIFOs";
    }
    decoy("b_Veltrane.iso");
    EXPECT_EQ(run_here(), decoy_verdict("b_Veltrane.iso"));
}

TEST_F(TreeFault, FolderLinksOutOfTheStartFolderAreNotEntered) {
    describe("Folder links to the parent folder and to the root, an image outside and one "
             "inside");
    const fs::path start = folder / "start";
    fs::create_directory(start);
    std::error_code error;
    fs::create_directory_symlink("..", start / "a_up", error);
    if (!error) {
        fs::create_directory_symlink(start.root_path(), start / "a_root", error);
    }
    if (error) {
        GTEST_SKIP() << "this system makes no folder links: " << error.message();
    }
    decoy("a_outside.iso");
    decoy("start/z_Veltrane.iso");
    ChildRun child = player_run(start);
    EXPECT_EQ(run_here(child), decoy_verdict("z_Veltrane.iso"));
}

TEST_F(TreeFault, FailedRerunKeepsTheEarlierOutputAsItWas) {
    describe("A run that fails (decoy image) where a good earlier output lies");
    decoy("Veltrane.iso");
    forbidden_.clear();
    write_file(folder / "Veltrane_patched.iso", "the earlier patched image");
    EXPECT_EQ(run_here(), decoy_verdict("Veltrane.iso"));
    EXPECT_EQ(read_file(folder / "Veltrane_patched.iso"), "the earlier patched image");
    forbid_output(folder / "Veltrane_patched.tmp");
    note_output("the earlier output, unchanged; no temporary file");
}

} // namespace
