#pragma once
// Pages from templates: text with "<#NAME>" tags replaced by values and
// "<#TABLE_ROWS name>" ... "</#TABLE_ROWS>" blocks repeated once per row
// the application supplies.
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "net/socket/netstream.h"

namespace yux::net {

// One tag value as the application passes it; the kinds that have no text
// form say so in the page.
class TTagValue {
 public:
  enum TKind {
    vtInteger = 0, vtBoolean = 1, vtChar = 2, vtExtended = 3, vtString = 4, vtPointer = 5,
    vtObject = 7, vtClass = 8, vtCurrency = 12, vtVariant = 13, vtInterface = 14,
    vtWideString = 15, vtInt64 = 16
  };
  TTagValue(int v) : kind_(vtInteger), int_(v) {}
  TTagValue(long v) : kind_(vtInt64), int_(v) {}
  TTagValue(long long v) : kind_(vtInt64), int_(v) {}
  TTagValue(bool v) : kind_(vtBoolean), int_(v) {}
  TTagValue(char v) : kind_(vtChar), text_(1, v) {}
  TTagValue(const char* v) : kind_(vtString), text_(v) {}
  TTagValue(std::string v) : kind_(vtString), text_(std::move(v)) {}
  TTagValue(std::string_view v) : kind_(vtString), text_(v) {}
  TTagValue(double v) : kind_(vtExtended), float_(v) {}
  // A value of a kind without a text form (given by its number).
  static TTagValue OfKind(int kind) {
    TTagValue t(0);
    t.kind_ = kind;
    return t;
  }
  std::string ToText() const;
  int Kind() const { return kind_; }

 private:
  int kind_;
  std::int64_t int_ = 0;
  double float_ = 0;
  std::string text_;
};
// Name, value, name, value, ...
using THttpTags = std::vector<TTagValue>;

struct TCaseInsensitiveLess {
  bool operator()(const std::string& a, const std::string& b) const;
};
// Tag names (any case) to their texts.
class TStringIndex {
 public:
  void Add(const std::string& name, const std::string& value) { map_[name] = value; }
  bool Find(const std::string& name, std::string& value) const;
  void Clear() { map_.clear(); }
  size_t Count() const { return map_.size(); }

 private:
  std::map<std::string, std::string, TCaseInsensitiveLess> map_;
};

class THttpConnection;
using THttpGetRowDataEvent =
    std::function<void(THttpConnection* sender, const std::string& tableName, int row,
                       TStringIndex& tagData, bool& more, void* userData)>;
// What the engine asks for each row of a table block.
using TTemplateRowGetter = std::function<void(const std::string& tableName, int row,
                                              TStringIndex& tagData, bool& more)>;

inline constexpr char kOddTagsPage[] =
    "<HTML><BODY>Odd number of tags for substition<BR></BODY></HTML>";

// False (and nothing added) for an odd number of elements.
bool BuildTagIndex(const THttpTags& tags, TStringIndex& index);
// Produces the page from the template text.
void RenderTemplate(std::string_view text, const TStringIndex& tags,
                    const TTemplateRowGetter& rows, std::string& out);
// The whole page for a tag list: the odd-tags line when the list is odd.
std::string TemplatePage(std::string_view text, const THttpTags& tags,
                         const TTemplateRowGetter& rows);
// A resource compiled into the program: ":/<type>/<name>"; false when
// there is none.
bool ReadResource(const std::string& name, const std::string& type, std::string& data);

}  // namespace yux::net
