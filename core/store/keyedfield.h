#pragma once
// The options and preset files store one record field per line as a
// three-letter key, a blank and the value: flags as "1"/"0", integers in
// decimal, texts as they are.  These two helpers read and write one such
// value through a pointer to the record's field.
#include <string>
#include <type_traits>
#include <variant>

#include "core/store/textutil.h"

namespace yux {

// Stores `value` into the field.  False when an integer value is not a
// number; the field then keeps what it had.
template <class Record, class Field>
bool AssignFieldText(Record& record, const Field& field, const std::string& value) {
  return std::visit(
      [&](auto member) {
        using T = std::remove_cvref_t<decltype(record.*member)>;
        if constexpr (std::is_same_v<T, bool>) {
          record.*member = DigitToBool(value);
        } else if constexpr (std::is_same_v<T, int>) {
          int v = 0;
          if (!ParseInt(value, v)) return false;
          record.*member = v;
        } else {
          record.*member = value;
        }
        return true;
      },
      field);
}

// The field's value as the files store it.
template <class Record, class Field>
std::string FieldText(const Record& record, const Field& field) {
  return std::visit(
      [&](auto member) -> std::string {
        using T = std::remove_cvref_t<decltype(record.*member)>;
        if constexpr (std::is_same_v<T, bool>) return BoolToDigit(record.*member);
        else if constexpr (std::is_same_v<T, int>) return std::to_string(record.*member);
        else return record.*member;
      },
      field);
}

}  // namespace yux
