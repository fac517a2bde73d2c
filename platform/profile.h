// Private profile (INI) files: the stand-ins for the Windows profile calls, with
// Windows' rules. Section and key names compare without regard to case and the
// first occurrence wins; lines whose first non-blank character is ';' are
// comments; values are trimmed of blanks and tabs and lose one pair of matching
// surrounding quotes ('...' or "..."); lines may end in CR LF or LF.
//
// A file name without '/' or '\' lives in the home directory, as Windows keeps
// such files in its own directory: "win.ini" is <home>/win.ini.
//
// Writes keep every other line as it was, end every line with CR LF and replace
// the file atomically (a temporary beside it, flushed, then renamed), so a reader
// never sees half a file. Nothing is kept between calls and every call uses its
// own buffers, so any thread may call at any time; writes of one process are
// serialised among themselves.
#pragma once

#include <string>
#include <vector>

inline constexpr const char* kWinIni = "win.ini";

// The path a profile file name stands for (see above).
std::string ProfileFilePath(const char* file);

// GetPrivateProfileString. With a null `section` the buffer receives every section
// name, with a null `key` every key name of the section, each ended by a zero
// byte and the list by an extra zero; a list that does not fit is cut and still
// ends in two zeros (the result is then size - 2). Otherwise the value, or `def`
// (null = "", trailing blanks dropped) when the file, the section or the key is
// missing, cut to size - 1 characters. Returns the characters stored without the
// final zero; 0 for a null buffer or a size below 1.
int GetPrivateProfileString(const char* section, const char* key, const char* def,
                            char* buffer, int size, const char* file);
// GetPrivateProfileInt: `def` when the value is missing or empty, else its leading
// decimal number with an optional sign (0 when it starts with anything else).
int GetPrivateProfileInt(const char* section, const char* key, int def, const char* file);
// WritePrivateProfileString: a null `value` deletes the key, a null `key` the
// whole section; a null `section` does nothing and succeeds. A missing file is
// created. False (LastWinError set) when the file cannot be read or replaced, or
// for a name or value that could not be read back as written: a line break in any
// of them, '=' in a key, ']' in a section, or a name that is empty after trimming.
bool WritePrivateProfileString(const char* section, const char* key, const char* value,
                               const char* file);

// The same calls on "win.ini".
int GetProfileString(const char* section, const char* key, const char* def, char* buffer,
                     int size);
int GetProfileInt(const char* section, const char* key, int def);
bool WriteProfileString(const char* section, const char* key, const char* value);

// Conveniences without length limits for the tools.
// The section names of the file, first occurrences only, in file order.
std::vector<std::string> ReadProfileSectionNames(const std::string& file);
// The key names of the section's first occurrence, each name once, in file order.
std::vector<std::string> ReadProfileKeyNames(const std::string& section, const std::string& file);
// The value of `key` (the rules above); false when the file, section or key is missing.
bool ReadProfileValue(const std::string& section, const std::string& key, const std::string& file,
                      std::string& value);
