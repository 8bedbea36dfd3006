// Logging of the card-functions library through the logging library, and
// the two forms of debugger output the library uses.
#pragma once

#include "LibraryTables.h"

#include <cstddef>

namespace vorlane::cardfun {

// Loads "Tallyra.so" from the module directory and registers the logger
// "VorlaneCardFun"; without the logging library every log call is skipped.
void LogOpen();
// The table kept by LogOpen (null without the logging library).
const TallyraTable* LogTable();

// Level 1 with the tag "INFO", or level 3 with "E(<errno>)".
void LogInfo(const char* file, int line, const char* function, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
void LogError(const char* file, int line, const char* function, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// Debugger output of the card facade: at most 4089 characters, trailing
// white space removed, CR LF appended.
void FacadeDebug(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Formats into `buffer`; false when the text did not fit (the buffer then
// holds an empty text, never a cut one).
bool FormatText(char* buffer, size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Formats a text from the language file that should take a drive letter and a
// number ("%c ... %d"). The format is checked first: any other conversion falls
// back to a built-in text, so a language file can never make the library read
// arguments it did not pass.
void FormatLetterCode(char* buffer, size_t size, const char* format, char letter, int code);

} // namespace vorlane::cardfun
