#include "net/protocols/httpsrvtemplate.h"

#include <QFile>
#include <QString>
#include <algorithm>
#include <cctype>
#include <cstdio>

namespace yux::net {

namespace {

std::string Upper(std::string s) {
  for (char& c : s) c = char(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string TrimBlanks(std::string s) {
  size_t a = s.find_first_not_of(" \t");
  if (a == std::string::npos) return "";
  size_t b = s.find_last_not_of(" \t");
  return s.substr(a, b - a + 1);
}

bool IsTagEnd(char c) { return c == '>' || c == ' ' || c == '\t'; }

// A tag at `pos` ("<#" already seen): its name, parameter and the position
// after its ">"; false when the text ends before the ">".
bool ReadTag(std::string_view text, size_t pos, std::string& name, std::string& param,
             size_t& after) {
  size_t i = pos + 2;
  size_t start = i;
  while (i < text.size() && !IsTagEnd(text[i])) ++i;
  if (i >= text.size()) return false;
  name = Upper(std::string(text.substr(start, i - start)));
  param.clear();
  if (text[i] != '>') {
    size_t close = text.find('>', i);
    if (close == std::string_view::npos) return false;
    param = Upper(TrimBlanks(std::string(text.substr(i + 1, close - i - 1))));
    i = close;
  }
  after = i + 1;
  return true;
}

bool TagAt(std::string_view text, size_t pos, std::string_view word) {
  if (text.compare(pos, word.size(), word) != 0) return false;
  size_t k = pos + word.size();
  return k < text.size() && IsTagEnd(text[k]);
}

// The end of a TABLE_ROWS block that starts at `from`: the start of its
// closing tag and the position after it (the text's end when there is none).
void FindBlockEnd(std::string_view text, size_t from, size_t& blockEnd, size_t& after) {
  int depth = 0;
  size_t i = from;
  while ((i = text.find('<', i)) != std::string_view::npos) {
    if (TagAt(text, i, "<#TABLE_ROWS")) {
      ++depth;
    } else if (TagAt(text, i, "</#TABLE_ROWS") || TagAt(text, i, "<#/TABLE_ROWS")) {
      if (depth == 0) {
        blockEnd = i;
        size_t close = text.find('>', i);
        after = close == std::string_view::npos ? text.size() : close + 1;
        return;
      }
      --depth;
    }
    ++i;
  }
  blockEnd = after = text.size();
}

}  // namespace

std::string TTagValue::ToText() const {
  switch (kind_) {
    case vtInteger:
    case vtInt64: return std::to_string(int_);
    case vtBoolean: return int_ ? "TRUE" : "FALSE";
    case vtChar:
    case vtString: return text_;
    case vtExtended: {
      char buf[64];
      std::snprintf(buf, sizeof buf, "%.15g", float_);
      return buf;
    }
    case vtPointer: return "Unsupported TVarRec.VType = vtPointer";
    case vtObject: return "Unsupported TVarRec.VType = vtObject";
    case vtClass: return "Unsupported TVarRec.VType = vtClass";
    case vtCurrency: return "Unsupported TVarRec.VType = vtCurrency";
    case vtVariant: return "Unsupported TVarRec.VType = vtVariant";
    case vtInterface: return "Unsupported TVarRec.VType = vtInterface";
    case vtWideString: return "Unsupported TVarRec.VType = vtWideString";
    default: return "Unknown TVarRec.VType = \"" + std::to_string(kind_) + "\" ";
  }
}

bool TCaseInsensitiveLess::operator()(const std::string& a, const std::string& b) const {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::toupper(static_cast<unsigned char>(x)) <
           std::toupper(static_cast<unsigned char>(y));
  });
}

bool TStringIndex::Find(const std::string& name, std::string& value) const {
  auto it = map_.find(name);
  if (it == map_.end()) return false;
  value = it->second;
  return true;
}

bool BuildTagIndex(const THttpTags& tags, TStringIndex& index) {
  if (tags.size() % 2 != 0) return false;
  for (size_t i = 0; i < tags.size(); i += 2) index.Add(tags[i].ToText(), tags[i + 1].ToText());
  return true;
}

void RenderTemplate(std::string_view text, const TStringIndex& tags,
                    const TTemplateRowGetter& rows, std::string& out) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t open = text.find("<#", pos);
    std::string name, param;
    size_t after = 0;
    if (open == std::string_view::npos || !ReadTag(text, open, name, param, after)) {
      out.append(text.substr(pos));
      return;
    }
    out.append(text.substr(pos, open - pos));
    pos = after;
    if (name != "TABLE_ROWS") {
      std::string value;
      if (tags.Find(name, value)) out += value;
      continue;
    }
    size_t blockEnd = 0;
    FindBlockEnd(text, after, blockEnd, pos);
    if (!rows) continue;
    std::string_view block = text.substr(after, blockEnd - after);
    TStringIndex rowTags;
    for (int row = 1;; ++row) {
      bool more = false;
      rowTags.Clear();
      rows(param, row, rowTags, more);
      if (!more) break;
      RenderTemplate(block, rowTags, rows, out);
    }
  }
}

std::string TemplatePage(std::string_view text, const THttpTags& tags,
                         const TTemplateRowGetter& rows) {
  TStringIndex index;
  if (!BuildTagIndex(tags, index)) return kOddTagsPage;
  std::string out;
  RenderTemplate(text, index, rows, out);
  return out;
}

bool ReadResource(const std::string& name, const std::string& type, std::string& data) {
  QFile f(QString::fromStdString(":/" + type + "/" + name));
  if (!f.open(QIODevice::ReadOnly)) return false;
  QByteArray all = f.readAll();
  data.assign(all.constData(), size_t(all.size()));
  return true;
}

}  // namespace yux::net
