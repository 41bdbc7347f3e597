#include "widgets/sort_rules.h"

#include "widgets/number_text.h"

namespace zq {

bool SortState::Click(int column) {
    if (column == column_) {
        ascending_ = !ascending_;
    } else {
        column_ = column;
        ascending_ = true;
    }
    return column < kSortableColumns;
}

int CompareCells(std::u16string_view a, std::u16string_view b, int kind, bool ascending) {
    int order = 0;
    if (kind == kSortAsText) {
        const int c = a.compare(b);
        order = c < 0 ? -1 : (c > 0 ? 1 : 0);
    } else if (kind == kSortAsNumber) {
        const float x = ToFloat(ReadLeadingNumber(a));
        const float y = ToFloat(ReadLeadingNumber(b));
        order = x < y ? -1 : (y < x ? 1 : 0);
    }
    return ascending ? order : -order;
}

}  // namespace zq
