#pragma once
// A read-only ini file with the matching rules of the system's private
// profile reader, which language files and the shell-notifier tasks rely on:
// - section and key names match without regard to (ASCII) case; blanks
//   around them are ignored;
// - the first section of a name is the one searched, and in it the first
//   line of a key wins;
// - a line whose first non-blank character is ";" is a comment; a ";" later
//   in a line is part of the value;
// - lines before the first section header, and lines without "=", hold no
//   key;
// - values are trimmed of surrounding blanks and tabs and otherwise
//   returned as written: enclosing quotes are kept (stripping one pair is
//   StripQuotes's job, so a doubly quoted value loses exactly one pair);
// - a missing, unreadable or empty file gives the defaults.
// The file is read once, when the object is made.  A UTF-16 file (with its
// byte-order mark) is decoded; 8-bit text is read as UTF-8 and, where it is
// not valid UTF-8, as Windows-1252.  Everything returned is UTF-8.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace yux {

class TIniFile {
 public:
  explicit TIniFile(const std::string& fileName);

  const std::string& FileName() const { return fileName_; }
  // True when the file could be read (it may still hold no sections).
  bool Loaded() const { return loaded_; }
  bool SectionExists(std::string_view section) const;
  std::string ReadString(std::string_view section, std::string_view key,
                         const std::string& defaultValue) const;
  // The value of a key, or nothing when the key is absent.
  std::optional<std::string> Find(std::string_view section, std::string_view key) const;
  // The section names in file order (duplicates included).
  std::vector<std::string> SectionNames() const;

 private:
  struct Pair {
    std::string key, value;
  };
  struct Section {
    std::string name;
    std::vector<Pair> pairs;
  };
  const Section* FindSection(std::string_view name) const;
  void Parse(const std::string& text);

  std::string fileName_;
  bool loaded_ = false;
  std::vector<Section> sections_;
};

// 8-bit text as this program reads it: unchanged when it is valid UTF-8
// (a leading UTF-8 byte-order mark is dropped), otherwise converted from
// Windows-1252.
std::string DecodeAnsiText(std::string_view bytes);
// The same for one line of a file: a byte-order mark marks the start of a
// file only, so at the start of a line its bytes are text and are kept.
std::string DecodeAnsiLine(std::string_view bytes);
// True when the bytes are well-formed UTF-8 (no overlongs, no surrogates).
bool IsValidUtf8(std::string_view bytes);

}  // namespace yux
