#pragma once

// What the player is told, shared by the console program and the web page.
// Stored in Windows-1252, as print_console_text expects: \xF1 is ñ, \xF3 is
// ó, \xA1 is ¡ (a hex escape is closed off before a following hex digit).
constexpr char MESSAGE_BANNER[] =
    "\n*** Parche al Espa\xF1ol para Veltrane para PS2 (v1.0) ***\n\n\n";
constexpr char MESSAGE_NOT_FOUND[] = "Incapaz de hallar el ISO Jap de Veltrane para PS2.\n\n";
constexpr char MESSAGE_SIZE_HINT[] =
    "El tama\xF1o del archivo debe ser de 1 455 587 328 bytes.\n\n";
constexpr char MESSAGE_CRC_HINT[] = "El CRC32 del archivo debe ser 0xDED23029.\n";
constexpr char MESSAGE_CANNOT_OPEN[] = "Incapaz de abrir el siguiente archivo ISO Jap: %s\n";
constexpr char MESSAGE_DETECTED[] = "ISO Jap detectado: %s\n\n";
constexpr char MESSAGE_IN_PROGRESS[] = "Parche en progreso:\n";
constexpr char MESSAGE_BAD_CRC[] = "\n\nEl parcheo ha fallado por un mal CRC32. La entrada del "
                                   "archivo ISO \"%s\" no es correcto.\n";
constexpr char MESSAGE_FAILED[] = "\n\nEl parche fall\xF3.\n";
constexpr char MESSAGE_CANNOT_WRITE[] = "Incapaz de escribir en el archivo ISO parcheado.\n";
constexpr char MESSAGE_FULL_PROGRESS[] = "Progresi\xF3n: 100 %\r";
constexpr char MESSAGE_SUCCESS[] = "\n\n\xA1"
                                   "El parche al espa\xF1ol ha sido aplicado correctamente!\n";
constexpr char MESSAGE_OUTPUT_IS[] = "El archivo ISO parcheado al espa\xF1ol es ";
constexpr char MESSAGE_OUTPUT_NAME[] = "\"%s\".\n";
constexpr char MESSAGE_PRESS_ENTER[] = "\nPresiona Enter para salir del programa.";

// The three lines for a search that found no image.
void print_not_found();
