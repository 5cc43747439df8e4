#include "net/protocols/mimetypes.h"

#include <cctype>
#include <fstream>
#include <sstream>

namespace yux::net {
namespace {

std::string Lower(std::string_view s) {
  std::string r(s);
  for (auto& c : r) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return r;
}

bool ReadLines(const std::string& fileName, std::vector<std::string>& lines) {
  std::ifstream f(fileName, std::ios::binary);
  if (!f) return false;
  std::string line;
  while (std::getline(f, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return true;
}

}  // namespace

TMimeTypesList::TMimeTypesList()
    : FDefaultTypes{".htm=text/html",
                    ".html=text/html",
                    ".gif=image/gif",
                    ".bmp=image/bmp",
                    ".jpg=image/jpeg",
                    ".jpeg=image/jpeg",
                    ".tif=image/tiff",
                    ".tiff=image/tiff",
                    ".txt=text/plain",
                    ".css=text/css",
                    ".wav=audio/x-wav",
                    ".ico=image/x-icon",
                    ".wml=text/vnd.wap.wml",
                    ".wbmp=image/vnd.wap.wbmp",
                    ".wmlc=application/vnd.wap.wmlc",
                    ".wmlscript=text/vnd.wap.wmlscript",
                    ".wmlscriptc=application/vnd.wap.wmlscriptc",
                    ".pdf=application/pdf",
                    ".png=image/png",
                    ".xml=application/xml",
                    ".xhtml=application/xhtml+xml",
                    ".zip=application/zip",
                    ".exe=application/x-msdownload",
                    ".msi=application/x-msdownload",
                    ".bin=application/octet-stream",
                    ".iso=application/octet-stream"} {}

void TMimeTypesList::SetDefaultTypes(const std::vector<std::string>& lines) {
  if (lines == FDefaultTypes) return;
  FDefaultTypes = lines;
  FLoaded = false;
}

void TMimeTypesList::Clear() {
  FTypes.clear();
  FExtensions.clear();
}

void TMimeTypesList::AddContentType(std::string_view ext, std::string_view type) {
  std::string e = Lower(ext), t = Lower(type);
  if (e.size() < 2 || e[0] != '.' || t.find('/') == std::string::npos) return;
  FTypes.insert(t);
  FExtensions[e] = t;
}

bool TMimeTypesList::AddKeyLines(const std::vector<std::string>& lines) {
  for (const auto& line : lines) {
    if (line.empty()) continue;
    auto eq = line.find('=', 1);
    if (eq == std::string::npos) continue;
    AddContentType(line.substr(0, eq), line.substr(eq + 1, 99));
  }
  return true;
}

bool TMimeTypesList::LoadFromList() {
  Clear();
  return AddKeyLines(FDefaultTypes);
}

bool TMimeTypesList::ReadMimeTypes(const std::string& fileName) {
  std::vector<std::string> lines;
  if (!ReadLines(fileName, lines)) return false;
  AddMimeTypesLines(lines);
  return true;
}

void TMimeTypesList::AddMimeTypesLines(const std::vector<std::string>& lines) {
  for (const auto& line : lines) {
    if (line.find('#') != std::string::npos) continue;
    std::istringstream words(line);
    std::string type, ext;
    if (!(words >> type)) continue;
    while (words >> ext) AddContentType("." + ext, type);
  }
}

bool TMimeTypesList::LoadFromOS() {
  LoadOSonDemand = false;
  std::vector<std::string> lines;
  if (!ReadLines(SystemTypesFile, lines)) {
    // Nothing to replace the table with: what is loaded stays.
    if (FExtensions.empty()) AddKeyLines(FDefaultTypes);
    return false;
  }
  Clear();
  AddMimeTypesLines(lines);
  for (const auto& line : FDefaultTypes) {
    auto eq = line.find('=', 1);
    if (eq == std::string::npos) continue;
    if (!FExtensions.count(Lower(line.substr(0, eq)))) AddContentType(line.substr(0, eq), line.substr(eq + 1, 99));
  }
  return true;
}

bool TMimeTypesList::LoadMimeFile(const std::string& fileName) {
  Clear();
  LoadOSonDemand = false;
  return ReadMimeTypes(fileName);
}

bool TMimeTypesList::LoadKeyFile(const std::string& fileName) {
  Clear();
  std::vector<std::string> lines;
  if (!ReadLines(fileName, lines)) return false;
  return AddKeyLines(lines);
}

bool TMimeTypesList::LoadFromResource(const std::string& /*name*/) {
  Clear();
  return false;
}

bool TMimeTypesList::LoadTypeList() {
  bool ok = false;
  switch (MimeTypeSrc) {
    case TMimeTypeSrc::MTypeList: ok = LoadFromList(); break;
    case TMimeTypeSrc::MTypeOS: ok = LoadFromOS(); break;
    case TMimeTypeSrc::MTypeMimeFile: ok = LoadMimeFile(MimeTypesFile); break;
    case TMimeTypeSrc::MTypeKeyFile: ok = LoadKeyFile(MimeTypesFile); break;
    case TMimeTypeSrc::MTypeRes: ok = LoadFromResource(MimeTypesFile); break;
  }
  FLoaded = true;
  return ok;
}

std::string TMimeTypesList::ContentTypeForExt(std::string_view ext) {
  if (!FLoaded) LoadTypeList();
  const std::string e = Lower(ext);
  auto it = FExtensions.find(e);
  if (it == FExtensions.end() && LoadOSonDemand) {
    LoadFromOS();
    it = FExtensions.find(e);
  }
  return it == FExtensions.end() ? UnknownType : it->second;
}

std::string TMimeTypesList::ContentTypeForFile(std::string_view fileName) {
  auto dot = fileName.rfind('.');
  auto slash = fileName.find_last_of("/\\");
  if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash))
    return ContentTypeForExt("");
  return ContentTypeForExt(fileName.substr(dot));
}

}  // namespace yux::net
