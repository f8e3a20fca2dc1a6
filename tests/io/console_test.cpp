#include "io/console.h"
#include "tests/support/console.h"

#include <gtest/gtest.h>

namespace {

std::string printed(const char* text) {
    StdoutCapture capture = start_stdout_capture();
    print_console_text(text);
    return finish_stdout_capture(&capture);
}

TEST(Console, AccentedMessagesReachTheConsoleAsTheirLetters) {
    EXPECT_EQ(printed("\n\nEl parche fall\xF3.\n"), to_console("\n\nEl parche falló.\n"));
    EXPECT_EQ(printed("\n\n\xA1"
                      "El parche al espa\xF1ol ha sido aplicado correctamente!\n"),
              to_console("\n\n¡El parche al español ha sido aplicado correctamente!\n"));
}

TEST(Console, PercentSignsArePrintedLiterally) {
    EXPECT_EQ(printed("Progresi\xF3n: 100 %\r"), to_console("Progresión: 100 %\r"));
    EXPECT_EQ(printed("100 %s %d %n"), to_console("100 %s %d %n"));
}

TEST(Console, ACharacterWithoutAConsoleFormEndsTheText) {
    EXPECT_EQ(printed("\xBFQu\xE9 pasa?"), ""); // ¿ has no code page 850 entry here
    EXPECT_EQ(printed("Espa\xF1"
                      "a \x93"
                      "comillas\x94"),
              to_console("España "));
}

TEST(Console, LongTextsArePrintedWhole) {
    std::string text;
    std::string expected;
    for (int i = 0; i < 300; ++i) {
        text += "a\xF1";
        expected += "añ";
    }
    EXPECT_EQ(printed(text.c_str()), to_console(expected));
}

TEST(Console, TranslationTableCoversExactlyTheListedLetters) {
    int mapped = 0;
    for (int byte = 0x80; byte < 0x100; ++byte) {
        mapped += CONSOLE_TRANSLATION[byte] != 0;
    }
    EXPECT_EQ(mapped, 48);
    EXPECT_EQ(CONSOLE_TRANSLATION[0xF1], 0xA4); // ñ
    EXPECT_EQ(CONSOLE_TRANSLATION[0xF3], 0xA2); // ó
    EXPECT_EQ(CONSOLE_TRANSLATION[0xA1], 0xAD); // ¡
    EXPECT_EQ(CONSOLE_TRANSLATION[0xD1], 0x00); // Ñ has no entry
    for (int byte = 0; byte < 0x80; ++byte) {
        EXPECT_EQ(CONSOLE_TRANSLATION[byte], byte);
    }
}

} // namespace
