// Private-profile (INI) files: "[section]" lines followed by "key=value" lines.
//
// Sections and keys are matched case-insensitively (ASCII); the first match wins. A value is
// the rest of its line after the first '=', with the blanks (spaces and tabs) around key and
// value trimmed; nothing else is interpreted (no quotes, no escapes). Lines starting with ';'
// are comments. Lines may end in LF or CRLF; a UTF-8 byte order mark is ignored.
#pragma once

#include <string>
#include <vector>

// The value of key in section of the file at path, or defaultValue when the file, the
// section or the key is missing or the file cannot be read. Only a regular file is read:
// anything else (a FIFO, a device) counts as missing.
std::string GetPrivateProfileString(const std::string& path, const std::string& section,
                                    const std::string& key, const std::string& defaultValue);

// The file's contents, read once for many keys; empty when GetPrivateProfileString would
// find it missing or unreadable.
std::string ReadPrivateProfile(const std::string& path);
// The value of key in section of such contents, as GetPrivateProfileString finds it.
std::string GetProfileStringFrom(const std::string& contents, const std::string& section,
                                 const std::string& key, const std::string& defaultValue);

struct ProfileEntry {
  std::string section, key, value;
};

// Sets key in section to value. An existing key keeps its spelling and place; a new key goes
// after the last entry of its section, a new section at the end of the file. Every other line
// is kept as it was. The file is replaced atomically (a temporary file in the same folder,
// then rename), so a crash leaves either the old or the new file. Returns false, touching
// nothing, when the file or its folder cannot be written or read, or when a name or the value
// would not survive the format (line breaks, '=' in a key, ']' in a section).
bool WritePrivateProfileString(const std::string& path, const std::string& section,
                               const std::string& key, const std::string& value);

// Sets every entry, in order, as WritePrivateProfileString would one after the other, in a
// single read-modify-rename made under an exclusive lock (flock) on the file, so that
// programs saving at once never lose each other's keys. Writes nothing when any entry is
// refused, or when the path names something other than a regular file.
bool WritePrivateProfileStrings(const std::string& path, const std::vector<ProfileEntry>& entries);
