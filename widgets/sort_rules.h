// The sort rules of the report lists: which way a header click sorts, and how two cells of a
// column compare.
#pragma once

#include <string_view>

namespace zq {

// Column sort kinds.
constexpr int kSortAsText = 0;    // UTF-16 code unit by code unit
constexpr int kSortAsNumber = 1;  // as 32-bit floats; text that is not a number is 0
// The header columns that sort; a click on a higher column only changes the state.
constexpr int kSortableColumns = 100;

class SortState {
  public:
    // A click on the header of `column`: the same column again turns the order around, another
    // column sorts ascending. Answers whether the rows are to be sorted. The state starts at
    // column 0 ascending, so the first click on column 0 sorts it descending.
    bool Click(int column);

    int Column() const { return column_; }
    bool Ascending() const { return ascending_; }

  private:
    bool ascending_ = true;
    int column_ = 0;
};

// Negative when the row with cell `a` goes before the row with cell `b`, positive when after,
// 0 when the two compare equal (any kind other than text and number compares everything
// equal). Numbers are read by ReadLeadingNumber (widgets/number_text.h), then made floats.
int CompareCells(std::u16string_view a, std::u16string_view b, int kind, bool ascending);

}  // namespace zq
