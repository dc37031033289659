// The console conventions every run ends with.
#pragma once

// Blocks until one key is pressed; the key is discarded.
void wait_for_key();

// Prints the platform's text for the last error and waits for a key. Call it right after
// the failed operation, with no other platform call in between; the caller then ends its
// run as Failed.
void report_system_error();

// Formats `text` into `buffer` (NAME_BUFFER_SIZE bytes) as the single value of
// `template_text`; the text itself is never read as a template. Returns false, with the
// buffer holding a cut-short name that must not be used, when the result would need more
// than NAME_BUFFER_SIZE - 1 characters.
bool format_name(char* buffer, const char* template_text, const char* text);
