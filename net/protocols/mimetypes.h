#pragma once
// TMimeTypesList: a configurable table from file extensions to content
// types: the built-in list, the system's MIME database, a mime.types file or
// a file of ".ext=type" lines.
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace yux::net {

enum class TMimeTypeSrc { MTypeList, MTypeOS, MTypeMimeFile, MTypeKeyFile, MTypeRes };

// The system's MIME database, read where the types of the operating system
// are asked for.
inline constexpr char kSystemMimeTypesFile[] = "/etc/mime.types";

class TMimeTypesList {
 public:
  TMimeTypesList();

  bool LoadOSonDemand = true;
  std::string MimeTypesFile = "/etc/mime.types";
  TMimeTypeSrc MimeTypeSrc = TMimeTypeSrc::MTypeList;
  std::string UnknownType = "application/octet-stream";
  // Where the system's MIME database is read.
  std::string SystemTypesFile = kSystemMimeTypesFile;

  const std::vector<std::string>& DefaultTypes() const { return FDefaultTypes; }
  // A different list is copied and the table marked not loaded.
  void SetDefaultTypes(const std::vector<std::string>& lines);

  // The type of an extension given with its dot (".html"), any case.
  std::string ContentTypeForExt(std::string_view ext);
  // The type by the extension of a file name.
  std::string ContentTypeForFile(std::string_view fileName);
  // Both lower-cased; ignored unless ext begins with "." and type holds "/".
  void AddContentType(std::string_view ext, std::string_view type);

  // Loaders: each clears the table first and returns false when its source
  // cannot be read (the table then stays empty).
  bool LoadFromList();
  // The system's MIME database, then the built-in list for the extensions
  // the database lacks.  When the database cannot be read the table in use
  // stays (the built-in list when none was loaded) and the result is false.
  bool LoadFromOS();
  bool LoadMimeFile(const std::string& fileName);
  bool LoadKeyFile(const std::string& fileName);
  // Resources of the program file do not exist here: always false.
  bool LoadFromResource(const std::string& name);
  // Loads by MimeTypeSrc.
  bool LoadTypeList();

  std::size_t ExtensionCount() const { return FExtensions.size(); }
  std::size_t TypeCount() const { return FTypes.size(); }

 private:
  void Clear();
  bool AddKeyLines(const std::vector<std::string>& lines);
  bool ReadMimeTypes(const std::string& fileName);
  void AddMimeTypesLines(const std::vector<std::string>& lines);

  std::vector<std::string> FDefaultTypes;
  std::unordered_set<std::string> FTypes;
  std::unordered_map<std::string, std::string> FExtensions;
  bool FLoaded = false;
};

}  // namespace yux::net
