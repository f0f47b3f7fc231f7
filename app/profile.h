// Private-profile (INI) files: "[section]" lines followed by "key=value" lines.
//
// Sections and keys are matched case-insensitively (ASCII); the first match wins. A value is
// the rest of its line after the first '=', with the blanks (spaces and tabs) around key and
// value trimmed; nothing else is interpreted (no quotes, no escapes). Lines starting with ';'
// are comments. Lines may end in LF or CRLF; a UTF-8 byte order mark is ignored.
#pragma once

#include <string>

// The value of key in section of the file at path, or defaultValue when the file, the
// section or the key is missing or the file cannot be read.
std::string GetPrivateProfileString(const std::string& path, const std::string& section,
                                    const std::string& key, const std::string& defaultValue);

// Sets key in section to value. An existing key keeps its spelling and place; a new key goes
// after the last entry of its section, a new section at the end of the file. Every other line
// is kept as it was. The file is replaced atomically (a temporary file in the same folder,
// then rename), so a crash leaves either the old or the new file. Returns false, touching
// nothing, when the file or its folder cannot be written or read, or when a name or the value
// would not survive the format (line breaks, '=' in a key, ']' in a section).
bool WritePrivateProfileString(const std::string& path, const std::string& section,
                               const std::string& key, const std::string& value);
